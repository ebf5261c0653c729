// Port discovery on Windows: the MS-DOS device names for the port list, the
// friendly names of the Ports setup class for the presence check.

#include "serial/COMUtils.h"

#include "platform/WinText.h"

#include <initguid.h>

#include <algorithm>
#include <devguid.h>
#include <setupapi.h>
#include <stdexcept>

namespace {

constexpr DWORD KInitialDeviceTableSize = 5120;
constexpr DWORD KDeviceTableGrowth = 1024;

// The table as one string of NUL-terminated names, cut to what the query
// returned.
std::wstring ReadDeviceTable(const TPortSystem &system) {
  DWORD size = KInitialDeviceTableSize;
  for (;;) {
    std::wstring buffer(size, L'\0');
    SetLastError(0);
    const DWORD count = system.queryDosDevices(buffer.data(), size);
    const DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
      size = (count != 0 ? count : size) + KDeviceTableGrowth;
      continue;
    }
    if (error != 0)
      throw std::runtime_error(Utf8FromWide(SystemMessage(error)));
    // An empty table that reports no error is taken as empty.
    buffer.resize(count);
    return buffer;
  }
}

// Case-sensitive, in the user's locale, as the system compares names.
bool BeginsWith(const std::wstring &item, const std::wstring &prefix) {
  const int length = static_cast<int>(std::min(item.size(), prefix.size()));
  return CompareStringW(LOCALE_USER_DEFAULT, 0, prefix.c_str(), static_cast<int>(prefix.size()), item.c_str(),
                        length) == CSTR_EQUAL;
}

std::wstring UpperCase(std::wstring text) {
  if (!text.empty())
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

// The device's friendly name; empty when it has none.
std::wstring FriendlyName(HDEVINFO set, SP_DEVINFO_DATA &device) {
  std::wstring name;
  DWORD required = 0;
  while (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                            name.empty() ? nullptr : reinterpret_cast<BYTE *>(name.data()),
                                            static_cast<DWORD>(name.size() * sizeof(wchar_t)), &required)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return {};
    name.assign((required + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
  }
  return name.substr(0, name.find(L'\0'));
}

std::vector<std::wstring> PortFriendlyNames() {
  std::vector<std::wstring> names;
  const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE)
    return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index)
    names.push_back(FriendlyName(set, device));
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

} // namespace

DWORD QueryDosDeviceTable(wchar_t *buffer, DWORD size) { return QueryDosDeviceW(nullptr, buffer, size); }

TPortSystem TPortSystem::FromEnvironment() { return TPortSystem{}; }

void ListDosDevices(std::vector<std::string> &list, const TPortSystem &system) {
  const std::string table = AnsiFromWide(ReadDeviceTable(system));
  std::vector<std::string> names;
  int position = 1;
  for (std::string item = NextToken(table, position); !item.empty(); item = NextToken(table, position)) {
    if (BeginsWith(WideFromAnsi(item), L"COM"))
      names.push_back(item);
  }
  list = std::move(names);
}

// A port's description is the friendly name of the device that names it, the
// name in parentheses at its end left off.
void ListPorts(std::vector<TPortEntry> &list, const TPortSystem &system) {
  std::vector<std::string> names;
  ListDosDevices(names, system);
  const std::vector<std::wstring> friendlyNames = PortFriendlyNames();
  std::vector<TPortEntry> ports;
  for (const std::string &name : names) {
    const std::wstring suffix = L" (" + UpperCase(WideFromAnsi(name)) + L")";
    std::string description;
    for (const std::wstring &friendlyName : friendlyNames) {
      const std::wstring upper = UpperCase(friendlyName);
      if (upper.size() >= suffix.size() && upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) == 0) {
        description = AnsiFromWide(friendlyName.substr(0, friendlyName.size() - suffix.size()));
        break;
      }
    }
    ports.push_back({name, description});
  }
  list = std::move(ports);
}

void ListPortFriendlyNames(std::vector<std::string> &list, const TPortSystem &) {
  const std::vector<std::wstring> names = PortFriendlyNames();
  list.clear();
  for (size_t index = 0; index < names.size(); ++index)
    list.push_back(std::to_string(index) + ": " + AnsiFromWide(names[index]));
}

// The whole name in parentheses, so COM1 is not found in "(COM10)".
bool IsPortPresent(const std::string &name, const TPortSystem &) {
  if (name.empty())
    return false;
  const std::wstring wanted = UpperCase(L"(" + WideFromAnsi(name) + L")");
  for (const std::wstring &friendlyName : PortFriendlyNames()) {
    if (UpperCase(friendlyName).find(wanted) != std::wstring::npos)
      return true;
  }
  return false;
}
