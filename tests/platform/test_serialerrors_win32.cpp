// Why an open failed is the system's own text for the error.

#include "platform/WinText.h"
#include "serial/COMUtils.h"

#include <doctest.h>

TEST_CASE("a port that does not exist fails to open with the system's text for a missing file") {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  CHECK_FALSE(OpenCOM("COM250", 19200, handle));
  CHECK(handle == INVALID_HANDLE_VALUE);
  CHECK(LastOpenCOMError() == AnsiFromWide(SystemMessage(ERROR_FILE_NOT_FOUND)));
}
