#pragma once
// A firmware upload as a setup program makes one: it asks the device for an
// upload ("UPLOAD", answered "OK" once Debian's rx runs on the device's
// side), then Debian's sx sends random bytes in XMODEM-1K blocks over the
// bridge's connection. Through the wizard and through socat, same speed.

#include <cstddef>
#include <vector>

class TBenchRig;

struct TUploadResult {
  long baud = 0;
  size_t bytes = 0;
  // From sx's start to its end, rx's answer to the end of transmission
  // included; -1 when the upload failed or the device's copy is not exact.
  double wizardSeconds = -1;
  double socatSeconds = -1;
};

std::vector<TUploadResult> MeasureUploads(TBenchRig &rig);
// A line per speed with its target; false when one is missed.
bool PrintUploads(const std::vector<TUploadResult> &uploads);
