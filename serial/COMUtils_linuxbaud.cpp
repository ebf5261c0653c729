// Arbitrary line speeds through termios2/BOTHER. Kept apart from the rest of
// the backend because <asm/termbits.h> clashes with <termios.h>.

#include "serial/COMUtils.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

bool SetCOMSpeed(TCOMHandle h, int32_t baudRate) {
  if (baudRate <= 0) {
    errno = EINVAL;
    return false;
  }
  termios2 settings{};
  if (ioctl(h, TCGETS2, &settings) != 0)
    return false;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = static_cast<speed_t>(baudRate);
  settings.c_ospeed = static_cast<speed_t>(baudRate);
  return ioctl(h, TCSETS2, &settings) == 0;
}

int32_t GetCOMSpeed(TCOMHandle h) {
  termios2 settings{};
  if (ioctl(h, TCGETS2, &settings) != 0)
    return 0;
  return static_cast<int32_t>(settings.c_ospeed);
}
