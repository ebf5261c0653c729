// Which port a first start offers: the USB adapter a field engineer plugs in,
// found by its device name or, on Windows, by its friendly name.

#include "serial/COMUtils.h"

#include <doctest.h>

TEST_CASE("a first start offers the first USB adapter, else the first port") {
  struct TCase {
    const char *name;
    std::vector<TPortEntry> ports;
    int chosen;
  };
  const TCase cases[] = {
      {"no ports", {}, -1},
      {"no adapter", {{"/dev/ttyS0", ""}, {"/dev/ttyS4", "16550A"}}, 0},
      {"ttyUSB after the machine's own UART", {{"/dev/ttyS0", ""}, {"/dev/ttyUSB0", ""}}, 1},
      {"ttyACM", {{"/dev/ttyS0", ""}, {"/tmp/link", ""}, {"/dev/ttyACM1", ""}}, 2},
      {"the first of two adapters", {{"/dev/ttyS0", ""}, {"/dev/ttyUSB1", ""}, {"/dev/ttyUSB0", ""}}, 1},
      {"a Windows friendly name", {{"COM1", "Communications Port"}, {"COM5", "USB Serial Port"}}, 1},
      {"any letter case", {{"COM1", "Communications Port"}, {"COM7", "Silicon Labs CP210x usb to UART Bridge"}}, 1},
      {"a name that merely ends in USB is no device name", {{"COM1", ""}, {"/tmp/myttyUSB0", ""}}, 0},
  };
  for (const TCase &c : cases) {
    CAPTURE(c.name);
    CHECK(PreferredPortIndex(c.ports) == c.chosen);
  }
}
