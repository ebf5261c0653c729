#pragma once
// A device of the Ports setup class, as a serial adapter's driver makes one:
// what the presence check and the port descriptions look at. Under wine, whose
// ports (HKLM\Software\Wine\Ports) come without such a device, it stands in
// for the adapter being plugged in; its removal pulls the cable.

#include <string>
#include <windows.h>
#include <setupapi.h>

class TFakePortDevice {
public:
  // Registers a device `instance` (a name; the system numbers it) with the
  // friendly name, none when empty. Throws std::runtime_error when the system
  // refuses.
  TFakePortDevice(const wchar_t *instance, const std::wstring &friendlyName);
  // Removes the device, unless kept.
  ~TFakePortDevice();
  TFakePortDevice(const TFakePortDevice &) = delete;
  TFakePortDevice &operator=(const TFakePortDevice &) = delete;

  void Remove();
  // Leaves the device registered after this object is gone.
  void Keep() { FRegistered = false; }

  // Removes every device of the Ports class whose friendly name names `port`
  // ("... (COM5)", any letter case); how many went.
  static int RemoveNaming(const std::wstring &port);

private:
  HDEVINFO FSet;
  SP_DEVINFO_DATA FDevice{};
  bool FRegistered = false;
};
