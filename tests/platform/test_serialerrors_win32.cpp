// Why an open failed is the system's own text for the error; a close that
// fails still leaves no handle behind.

#include "platform/WinText.h"
#include "serial/COMUtils.h"

#include <doctest.h>

TEST_CASE("a port that does not exist fails to open with the system's text for a missing file") {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  TSerialError error;
  CHECK_FALSE(OpenCOM("COM250", 19200, handle, &error));
  CHECK(handle == INVALID_HANDLE_VALUE);
  CHECK(error.kind == TSerialError::TKind::Gone);
  CHECK(error.text == AnsiFromWide(SystemMessage(ERROR_FILE_NOT_FOUND)));
}

TEST_CASE("a handle whose close fails is not kept as an open port") {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  REQUIRE(event != nullptr);
  REQUIRE(CloseHandle(event));
  // The value of a handle closed already: CloseHandle refuses it.
  handle = event;
  CHECK_FALSE(CloseCOM(handle));
  CHECK(handle == INVALID_HANDLE_VALUE);
}
