#include "ProcessStats.h"

#include <filesystem>
#include <fstream>
#include <string>

// The scheduler's count of nanoseconds on a CPU, summed over the threads:
// the tick-based utime and stime of /proc/<pid>/stat move in 10 ms steps,
// too coarse for a few seconds of a relay that needs a few per cent.
double CpuSeconds(pid_t pid) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  unsigned long long nanoseconds = 0;
  bool read = false;
  for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long onCpu = 0;
    if (in >> onCpu) {
      nanoseconds += onCpu;
      read = true;
    }
  }
  return read ? static_cast<double>(nanoseconds) / 1e9 : -1;
}

namespace {

// A "Name:   value ..." line of /proc/<pid>/status; negative when missing.
long StatusValue(pid_t pid, const std::string &name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(name + ":"))
      return std::stol(line.substr(name.size() + 1));
  return -1;
}

} // namespace

double PeakRssMiB(pid_t pid) {
  const long kib = StatusValue(pid, "VmHWM");
  return kib < 0 ? -1 : kib / 1024.0;
}

TResourceSample SampleResources(pid_t pid) {
  TResourceSample sample;
  std::error_code error;
  long fds = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++fds;
  if (!error)
    sample.fds = fds;
  sample.threads = StatusValue(pid, "Threads");
  sample.rssKiB = StatusValue(pid, "VmRSS");
  return sample;
}
