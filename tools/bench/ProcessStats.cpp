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

double PeakRssMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:"))
      return std::stod(line.substr(6)) / 1024.0;
  return -1;
}
