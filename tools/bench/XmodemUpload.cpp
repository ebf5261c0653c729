#include "XmodemUpload.h"

#include "BenchReport.h"
#include "BenchRig.h"
#include "Sockets.h"

#include <cstdio>
#include <random>
#include <thread>

namespace {

struct TUploadPlan {
  long baud;
  size_t bytes; // whole 1K blocks: XMODEM pads a last short block
};
// A few seconds of the line each.
constexpr TUploadPlan Plans[] = {{115200, 64 * 1024}, {19200, 8 * 1024}};
constexpr double MaxOverSocat = 1.15;
constexpr int ReplyMs = 5000;
constexpr int ReceiverEndMs = 15000;
const std::string UploadRequest = "UPLOAD\r\n";

std::string RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char &byte : bytes)
    byte = static_cast<char>(random() & 0xff);
  return bytes;
}

// sx on the link, which it reads and writes blocking, as it would a tty;
// the seconds it took, or -1 when it failed.
double RunSx(int fd, const fs::path &source, const fs::path &log, const TUploadPlan &plan) {
  const double lineSeconds = static_cast<double>(plan.bytes) * 10 / static_cast<double>(plan.baud);
  const int timeoutMs = static_cast<int>(3000 * lineSeconds) + 20000;
  SetNonBlocking(fd, false);
  TChildProcess sx;
  const TInstant start = TBenchClock::now();
  const bool started = sx.StartOn({"sx", "--1k", "--binary", "--quiet", source.string()}, fd, log.string());
  const std::optional<int> code = started ? sx.Wait(timeoutMs) : std::nullopt;
  const double seconds = std::chrono::duration<double>(TBenchClock::now() - start).count();
  sx.Stop();
  SetNonBlocking(fd, true);
  return code == 0 ? seconds : -1;
}

// rx has ended on the device, and ended well.
bool ReceiverSucceeded(TSimulator &device) {
  std::string state;
  for (int waited = 0; waited < ReceiverEndMs; waited += 20) {
    state = device.Command("uploadcheck");
    if (state != "OK running")
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return state == "OK exit 0";
}

// The seconds sx took through `relay`, or -1 with the reason on stderr.
double Upload(int fd, TSimulator &device, const fs::path &source, const fs::path &received, const TUploadPlan &plan,
              const std::string &relay) {
  const fs::path log = received.parent_path() / "sx.log";
  const char *failure = nullptr;
  double seconds = -1;
  if (!SendAll(fd, UploadRequest) || ReadLine(fd, ReplyMs) != "OK\r\n")
    failure = "the device did not take the upload request";
  else if ((seconds = RunSx(fd, source, log, plan)) < 0)
    failure = "sx did not end well (see sx.log)";
  else if (!ReceiverSucceeded(device))
    failure = "rx on the device did not end well (see simdevice-upload.log)";
  else if (ReadText(received) != ReadText(source))
    failure = "the device's copy differs from what was sent";
  if (!failure)
    return seconds;
  std::fprintf(stderr, "tandrel-bench: upload at %ld baud through %s: %s\n", plan.baud, relay.c_str(), failure);
  return -1;
}

std::string SecondsCell(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return seconds >= 0 ? text : "FAILED";
}

} // namespace

std::vector<TUploadResult> MeasureUploads(TBenchRig &rig) {
  const fs::path received = rig.Root() / "uploaded.bin";
  TSimulator device(rig.Root(), "upload", "device", SIMDEVICE_BIN,
                    {"--mode", "protocol", "--paced", "line", "--upload-file", received.string()});
  device.Start();
  std::vector<TUploadResult> results;
  for (const TUploadPlan &plan : Plans) {
    const fs::path source = rig.Root() / ("firmware-" + std::to_string(plan.baud) + ".bin");
    WriteText(source, RandomBytes(plan.bytes, static_cast<unsigned>(plan.baud)));
    TUploadResult result{plan.baud, plan.bytes};
    const int fd = rig.Connect(device, plan.baud);
    result.wizardSeconds = Upload(fd, device, source, received, plan, "the wizard");
    rig.Disconnect(fd);
    TSocatRelay socat;
    rig.StartSocat(socat, device, plan.baud);
    result.socatSeconds = Upload(socat.Fd(), device, source, received, plan, "socat");
    results.push_back(result);
  }
  device.Stop();
  return results;
}

bool PrintUploads(const std::vector<TUploadResult> &uploads) {
  bool met = !uploads.empty();
  for (const TUploadResult &upload : uploads) {
    const bool measured = upload.wizardSeconds >= 0 && upload.socatSeconds > 0;
    const double ratio = measured ? upload.wizardSeconds / upload.socatSeconds : 0;
    const bool lineMet = measured && ratio <= MaxOverSocat;
    std::printf("XMODEM-1K upload (sx -> rx), %zu bytes at %ld baud, byte-exact: wizard %s, socat %s, ratio %.2f "
                "(target <= %.2f x socat: %s)\n",
                upload.bytes, upload.baud, SecondsCell(upload.wizardSeconds).c_str(),
                SecondsCell(upload.socatSeconds).c_str(), ratio, MaxOverSocat, Verdict(lineMet));
    met = met && lineMet;
  }
  return met;
}
