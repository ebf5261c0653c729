// Plugs and pulls a serial adapter for the tests of the Windows wizard under
// wine: registers a device of the Ports class with a friendly name that names
// the port, or removes the devices that name it.
//
//   fakeport add "USB Serial Port (COM5)"
//   fakeport remove COM5

#include "FakePortDevice.h"

#include <cstdio>
#include <exception>
#include <string>

int wmain(int argc, wchar_t **argv) {
  const std::wstring action = argc == 3 ? argv[1] : L"";
  try {
    if (action == L"add") {
      TFakePortDevice adapter(L"TANDRELADAPTER", argv[2]);
      adapter.Keep();
      return 0;
    }
    if (action == L"remove")
      return TFakePortDevice::RemoveNaming(argv[2]) > 0 ? 0 : 1;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "fakeport: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: fakeport add FRIENDLY-NAME | remove PORT\n");
  return 2;
}
