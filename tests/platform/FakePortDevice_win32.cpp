#include "FakePortDevice.h"

#include "platform/WinText.h"

#include <initguid.h>

#include <devguid.h>
#include <stdexcept>
#include <vector>

namespace {

[[noreturn]] void Refused(const char *call) {
  throw std::runtime_error(std::string(call) + ": " + Utf8FromWide(SystemMessage(GetLastError())));
}

std::wstring UpperCase(std::wstring text) {
  if (!text.empty())
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

std::wstring FriendlyName(HDEVINFO set, SP_DEVINFO_DATA &device) {
  wchar_t name[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE *>(name),
                                         sizeof name - sizeof(wchar_t), nullptr))
    return {};
  return name;
}

} // namespace

TFakePortDevice::TFakePortDevice(const wchar_t *instance, const std::wstring &friendlyName)
    : FSet(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)) {
  if (FSet == INVALID_HANDLE_VALUE)
    Refused("SetupDiCreateDeviceInfoList");
  FDevice.cbSize = sizeof FDevice;
  if (!SetupDiCreateDeviceInfoW(FSet, instance, &GUID_DEVCLASS_PORTS, nullptr, nullptr, DICD_GENERATE_ID, &FDevice) ||
      !SetupDiRegisterDeviceInfo(FSet, &FDevice, 0, nullptr, nullptr, nullptr)) {
    SetupDiDestroyDeviceInfoList(FSet);
    Refused("SetupDiRegisterDeviceInfo");
  }
  FRegistered = true;
  if (!friendlyName.empty() &&
      !SetupDiSetDeviceRegistryPropertyW(FSet, &FDevice, SPDRP_FRIENDLYNAME,
                                         reinterpret_cast<const BYTE *>(friendlyName.c_str()),
                                         static_cast<DWORD>((friendlyName.size() + 1) * sizeof(wchar_t)))) {
    Remove();
    SetupDiDestroyDeviceInfoList(FSet);
    Refused("SetupDiSetDeviceRegistryPropertyW");
  }
}

TFakePortDevice::~TFakePortDevice() {
  Remove();
  SetupDiDestroyDeviceInfoList(FSet);
}

void TFakePortDevice::Remove() {
  if (FRegistered)
    SetupDiRemoveDevice(FSet, &FDevice);
  FRegistered = false;
}

int TFakePortDevice::RemoveNaming(const std::wstring &port) {
  const std::wstring wanted = UpperCase(L"(" + port + L")");
  const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE)
    return 0;
  std::vector<SP_DEVINFO_DATA> naming;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    const std::wstring name = UpperCase(FriendlyName(set, device));
    if (name.size() >= wanted.size() && name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0)
      naming.push_back(device);
  }
  int removed = 0;
  for (SP_DEVINFO_DATA &match : naming)
    removed += SetupDiRemoveDevice(set, &match) ? 1 : 0;
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}
