// Port discovery on Linux: hardware ports from sysfs, then the extra ports
// named in the environment (virtual ports such as pty links).

#include "serial/COMUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct TPresentPort {
  std::string path;
  fs::path classDir; // its sysfs entry; empty for an extra port
};

std::string ReadFirstLine(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
    line.pop_back();
  return line;
}

bool HasDeviceLink(const fs::path &classDir) {
  std::error_code error;
  return fs::exists(fs::symlink_status(classDir / "device", error));
}

// The kernel registers ttyS0..ttySn whether or not a UART answers there.
bool IsPlaceholderUart(const std::string &name, const fs::path &classDir) {
  return name.starts_with("ttyS") && ReadFirstLine(classDir / "type") == "0";
}

// ttyS2 before ttyS10.
bool PortNameLess(const std::string &a, const std::string &b) {
  const auto split = [](std::string_view name) {
    const size_t digits = name.find_last_not_of("0123456789") + 1;
    return std::pair{name.substr(0, digits), name.substr(digits)};
  };
  const auto [prefixA, numberA] = split(a);
  const auto [prefixB, numberB] = split(b);
  if (prefixA != prefixB)
    return prefixA < prefixB;
  if (numberA.size() != numberB.size())
    return numberA.size() < numberB.size();
  return numberA < numberB;
}

// A missing class folder means no hardware ports; any other failure is
// reported.
std::vector<TPresentPort> HardwarePorts(const TPortSystem &system,
                                        std::error_code &error) {
  const fs::path classRoot = fs::path(system.sysfsRoot) / "class" / "tty";
  std::vector<std::string> names;
  fs::directory_iterator entry(classRoot, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (HasDeviceLink(entry->path()) && !IsPlaceholderUart(name, entry->path()))
      names.push_back(name);
  }
  if (error == std::errc::no_such_file_or_directory)
    error.clear();
  std::sort(names.begin(), names.end(), PortNameLess);
  std::vector<TPresentPort> ports;
  for (const std::string &name : names)
    ports.push_back(
        {(fs::path(system.devRoot) / name).string(), classRoot / name});
  return ports;
}

bool IsListed(const std::vector<TPresentPort> &ports, const std::string &path) {
  return std::any_of(ports.begin(), ports.end(), [&](const TPresentPort &port) {
    return port.path == path;
  });
}

void AppendExtraPorts(std::vector<TPresentPort> &ports,
                      const std::string &extraPorts) {
  size_t start = 0;
  while (start <= extraPorts.size()) {
    size_t end = extraPorts.find(':', start);
    if (end == std::string::npos)
      end = extraPorts.size();
    const std::string path = extraPorts.substr(start, end - start);
    std::error_code error;
    if (!path.empty() && fs::exists(path, error) && !IsListed(ports, path))
      ports.push_back({path, {}});
    start = end + 1;
  }
}

std::vector<TPresentPort> PresentPorts(const TPortSystem &system,
                                       std::error_code &error) {
  std::vector<TPresentPort> ports = HardwarePorts(system, error);
  AppendExtraPorts(ports, system.extraPorts);
  return ports;
}

// A port that is there under its own name is found with a few file checks,
// without listing every tty of the system on each pass of the relay.
bool IsPresentUnderItsName(const std::string &name, const TPortSystem &system) {
  const fs::path path(name);
  const fs::path classDir = fs::path(system.sysfsRoot) / "class" / "tty" / path.filename();
  if (path.parent_path() == fs::path(system.devRoot) && HasDeviceLink(classDir) &&
      !IsPlaceholderUart(path.filename().string(), classDir))
    return true;
  std::vector<TPresentPort> extras;
  AppendExtraPorts(extras, system.extraPorts);
  return IsListed(extras, name);
}

// The product or interface text of the USB device behind the port, else its
// driver.
std::string HardwareFriendlyName(const fs::path &classDir) {
  std::error_code error;
  const fs::path device = fs::canonical(classDir / "device", error);
  if (error)
    return "serial port";
  for (const char *attribute : {"product", "interface"}) {
    fs::path dir = device;
    for (int level = 0; level < 3; ++level, dir = dir.parent_path()) {
      const std::string text = ReadFirstLine(dir / attribute);
      if (!text.empty())
        return text;
    }
  }
  const fs::path driver = fs::read_symlink(device / "driver", error);
  return error ? "serial port" : driver.filename().string();
}

std::string FriendlyName(const TPresentPort &port) {
  const std::string name = port.classDir.empty()
                               ? "virtual port"
                               : HardwareFriendlyName(port.classDir);
  return name + " (" + port.path + ")";
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(std::toupper(c));
  });
  return text;
}

} // namespace

TPortSystem TPortSystem::FromEnvironment() {
  TPortSystem system;
  if (const char *extra = std::getenv("TANDREL_EXTRA_PORTS"))
    system.extraPorts = extra;
  return system;
}

void ListDosDevices(std::vector<std::string> &list, const TPortSystem &system) {
  std::error_code error;
  const std::vector<TPresentPort> ports = PresentPorts(system, error);
  if (error)
    throw std::runtime_error(error.message());
  list.clear();
  for (const TPresentPort &port : ports)
    list.push_back(port.path);
}

// A device table that cannot be read gives fewer lines, never an error: the
// presence check runs on every pass of the main loop.
void ListPortFriendlyNames(std::vector<std::string> &list,
                           const TPortSystem &system) {
  std::error_code ignored;
  const std::vector<TPresentPort> ports = PresentPorts(system, ignored);
  list.clear();
  for (size_t index = 0; index < ports.size(); ++index)
    list.push_back(std::to_string(index) + ": " + FriendlyName(ports[index]));
}

// A whole path is compared, so /dev/ttyUSB1 is not found inside /dev/ttyUSB10.
bool IsPortPresent(const std::string &name, const TPortSystem &system) {
  if (name.empty())
    return false;
  if (IsPresentUnderItsName(name, system))
    return true;
  std::error_code ignored;
  const std::vector<TPresentPort> ports = PresentPorts(system, ignored);
  const std::string wanted = UpperCase(name);
  return std::any_of(ports.begin(), ports.end(),
                     [&](const TPresentPort &port) { return UpperCase(port.path) == wanted; });
}
