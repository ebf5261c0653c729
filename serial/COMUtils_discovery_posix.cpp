// Port discovery on Linux: hardware ports from sysfs with udev's stable by-id
// links beside them, then the extra ports named in the environment (virtual
// ports such as pty links).

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
  fs::path classDir; // its sysfs entry (a by-id link's: its port's); empty for an extra port
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

// Where udev keeps a stable name for each adapter (vendor, product and serial
// number), as a relative link to the port's node; it survives re-enumeration.
fs::path ByIdFolder(const TPortSystem &system) { return fs::path(system.devRoot) / "serial" / "by-id"; }

// The node a by-id link points to, as a path under the device root; empty
// when `link` is no link.
std::string ByIdTarget(const fs::path &link) {
  std::error_code error;
  const fs::path target = fs::read_symlink(link, error);
  return error ? std::string() : (link.parent_path() / target).lexically_normal().string();
}

// Each hardware port followed by its by-id links, by name. A missing or
// unreadable folder only means no links.
std::vector<TPresentPort> WithByIdLinks(const std::vector<TPresentPort> &hardware, const TPortSystem &system) {
  std::vector<std::pair<std::string, std::string>> links; // link path, target path
  std::error_code error;
  fs::directory_iterator entry(ByIdFolder(system), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error))
    links.emplace_back(entry->path().string(), ByIdTarget(entry->path()));
  std::sort(links.begin(), links.end());
  std::vector<TPresentPort> ports;
  for (const TPresentPort &port : hardware) {
    ports.push_back(port);
    for (const auto &[link, target] : links) {
      if (target == port.path)
        ports.push_back({link, port.classDir});
    }
  }
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
  std::vector<TPresentPort> ports = WithByIdLinks(HardwarePorts(system, error), system);
  AppendExtraPorts(ports, system.extraPorts);
  return ports;
}

// The present ports for the user's list: a device table that cannot be read
// is an error there.
std::vector<TPresentPort> ListedPorts(const TPortSystem &system) {
  std::error_code error;
  std::vector<TPresentPort> ports = PresentPorts(system, error);
  if (error)
    throw std::runtime_error(error.message());
  return ports;
}

bool IsHardwarePortPresent(const fs::path &path, const TPortSystem &system) {
  const fs::path classDir = fs::path(system.sysfsRoot) / "class" / "tty" / path.filename();
  return path.parent_path() == fs::path(system.devRoot) && HasDeviceLink(classDir) &&
         !IsPlaceholderUart(path.filename().string(), classDir);
}

// A port that is there under its own name (or its by-id link) is found with a
// few file checks, without listing every tty of the system on each pass of the
// relay.
bool IsPresentUnderItsName(const std::string &name, const TPortSystem &system) {
  const fs::path path(name);
  if (IsHardwarePortPresent(path, system))
    return true;
  // A stale link (udev not done yet) must not keep a pulled adapter present.
  if (path.parent_path() == ByIdFolder(system) && IsHardwarePortPresent(ByIdTarget(path), system))
    return true;
  std::vector<TPresentPort> extras;
  AppendExtraPorts(extras, system.extraPorts);
  return IsListed(extras, name);
}

// The USB device a port sits on: the nearest folder above its device entry
// that carries USB ids (a USB serial port sits on an interface of the device,
// an ACM port is that interface). Empty for other hardware.
fs::path UsbDeviceOf(const fs::path &device) {
  fs::path dir = device;
  for (int level = 0; level < 3; ++level, dir = dir.parent_path()) {
    if (!ReadFirstLine(dir / "idVendor").empty())
      return dir;
  }
  return {};
}

std::string Joined(const std::string &first, const std::string &second) {
  return first.empty() || second.empty() ? first + second : first + " " + second;
}

// Maker and product as the device reports them, else the interface's own
// name, else its ids; then its serial number, which tells two adapters of one
// kind apart.
std::string UsbDescription(const fs::path &device, const fs::path &usbDevice) {
  std::string name = Joined(ReadFirstLine(usbDevice / "manufacturer"), ReadFirstLine(usbDevice / "product"));
  for (fs::path dir = device; name.empty() && dir != usbDevice; dir = dir.parent_path())
    name = ReadFirstLine(dir / "interface");
  if (name.empty())
    name = "USB " + ReadFirstLine(usbDevice / "idVendor") + ":" + ReadFirstLine(usbDevice / "idProduct");
  const std::string serial = ReadFirstLine(usbDevice / "serial");
  return serial.empty() ? name : name + ", serial " + serial;
}

std::string LinkName(const fs::path &link) {
  std::error_code error;
  const fs::path target = fs::read_symlink(link, error);
  return error ? std::string() : target.filename().string();
}

// Other hardware (a UART on the board or a card) is named by the driver of
// the device it sits on; newer kernels put the serial core's own port and
// controller devices in between.
std::string UartDescription(fs::path device) {
  while (LinkName(device / "subsystem") == "serial-base")
    device = device.parent_path();
  const std::string driver = LinkName(device / "driver");
  return driver.empty() ? "serial port" : "serial port, driver " + driver;
}

std::string HardwareDescription(const fs::path &classDir) {
  std::error_code error;
  const fs::path device = fs::canonical(classDir / "device", error);
  if (error)
    return "serial port";
  const fs::path usbDevice = UsbDeviceOf(device);
  return usbDevice.empty() ? UartDescription(device) : UsbDescription(device, usbDevice);
}

std::string Description(const TPresentPort &port) {
  return port.classDir.empty() ? "virtual port" : HardwareDescription(port.classDir);
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
  const std::vector<TPresentPort> ports = ListedPorts(system);
  list.clear();
  for (const TPresentPort &port : ports)
    list.push_back(port.path);
}

void ListPorts(std::vector<TPortEntry> &list, const TPortSystem &system) {
  const std::vector<TPresentPort> ports = ListedPorts(system);
  list.clear();
  for (const TPresentPort &port : ports)
    list.push_back({port.path, Description(port)});
}

// A device table that cannot be read gives fewer lines, never an error: the
// presence check runs on every pass of the main loop.
void ListPortFriendlyNames(std::vector<std::string> &list,
                           const TPortSystem &system) {
  std::error_code ignored;
  const std::vector<TPresentPort> ports = PresentPorts(system, ignored);
  list.clear();
  for (size_t index = 0; index < ports.size(); ++index)
    list.push_back(std::to_string(index) + ": " + Description(ports[index]) + " (" + ports[index].path + ")");
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
