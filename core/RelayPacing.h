#pragma once
// When the relay moves bytes within its 50 ms pass. By default it works as
// the bytes come: client bytes go to the port at once (as far as the port
// takes them), and the device's bytes go to the client once the line has
// been quiet for a gap of 3.5 character times at its speed (11 bits a
// character, at least 1 ms) or they fill the transfer buffer; bytes that keep
// arriving without a gap go at the pass's own step, as with fixed pacing,
// where everything waits for that step. Times are microsecond ticks.

#include <cstdint>
#include <optional>

class TRelayPacing {
public:
  static uint32_t LineGapUs(int32_t baudRate);

  void Configure(bool fixedPacing, int32_t baudRate);
  bool Fixed() const { return FFixed; }

  // The device's bytes collected so far grew at `nowUs`.
  void DeviceBytesArrived(uint32_t nowUs);
  // The collected bytes went to the client (or were dropped).
  void DeviceChunkGone() { FLastArrival.reset(); }
  // Whether `collected` of `capacity` bytes go to the client now, before the
  // pass's step.
  bool DeviceChunkDue(uint32_t nowUs, int32_t collected, int32_t capacity) const;
  // Microseconds from `nowUs` until collected bytes fall due by the gap.
  std::optional<uint32_t> UsUntilDeviceChunkDue(uint32_t nowUs) const;

private:
  bool FFixed = false;
  uint32_t FGapUs = 1000;
  std::optional<uint32_t> FLastArrival;
};
