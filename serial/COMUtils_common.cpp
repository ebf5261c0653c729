// The OS-neutral parts of COMUtils: string forms of read and write, NextToken,
// the preferred port.

#include "serial/COMUtils.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <thread>

namespace {
bool IsUsbAdapter(const TPortEntry &port) {
  const std::string name = port.path.substr(port.path.find_last_of("/\\") + 1);
  std::string description = port.description;
  std::transform(description.begin(), description.end(), description.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name.starts_with("ttyUSB") || name.starts_with("ttyACM") || description.find("USB") != std::string::npos;
}

constexpr int32_t KStringReadCapacity = 32768;
// The string write (AT commands, the hang-up) may wait this long for room.
constexpr std::chrono::milliseconds KStringWriteRoomWait{500};
constexpr std::chrono::milliseconds KStringWritePollInterval{1};
} // namespace

std::string ReadCOMString(TCOMHandle h) {
  char buffer[KStringReadCapacity];
  const int32_t count = ReadCOM(h, buffer, KStringReadCapacity);
  if (count <= 0)
    return {};
  std::string bytes(buffer, static_cast<size_t>(count));
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');
  return bytes;
}

int32_t WriteCOMString(TCOMHandle h, const std::string &s) {
  const auto deadline = std::chrono::steady_clock::now() + KStringWriteRoomWait;
  size_t written = 0;
  while (written < s.size()) {
    const size_t left = std::min<size_t>(s.size() - written, INT32_MAX);
    const int32_t taken = WriteCOM(h, s.data() + written, static_cast<int32_t>(left));
    if (taken < 0)
      return 0;
    written += static_cast<size_t>(taken);
    if (written == s.size())
      break;
    if (std::chrono::steady_clock::now() >= deadline)
      return 0;
    if (taken == 0)
      std::this_thread::sleep_for(KStringWritePollInterval);
  }
  return static_cast<int32_t>(written);
}

std::string NextToken(const std::string &list, int &position) {
  if (position < 1)
    throw std::out_of_range("aStartPos должен быть больше 0");
  const size_t start = static_cast<size_t>(position) - 1;
  if (start >= list.size())
    return {};
  size_t end = list.find('\0', start);
  if (end == std::string::npos)
    end = list.size();
  position = static_cast<int>(end) + 2;
  return list.substr(start, end - start);
}

int PreferredPortIndex(const std::vector<TPortEntry> &ports) {
  if (ports.empty())
    return -1;
  const auto adapter = std::find_if(ports.begin(), ports.end(), IsUsbAdapter);
  return adapter == ports.end() ? 0 : static_cast<int>(adapter - ports.begin());
}
