#include "ProcessStats.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line) || line.rfind(')') == std::string::npos)
    return -1;
  // The fields after the command name: state is field 3, utime 14, stime 15.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int index = 3; index < 14 && fields >> field; ++index) {
  }
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime))
    return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double PeakRssMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:"))
      return std::stod(line.substr(6)) / 1024.0;
  return -1;
}
