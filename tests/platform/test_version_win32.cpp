// The version in the title comes from the program's version resource.

#include "platform/FileVersion.h"
#include "platform/WinText.h"

#include <doctest.h>

#include <windows.h>

namespace {

std::string OwnPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return AnsiFromWide(std::wstring(path, length));
}

} // namespace

TEST_CASE("the program's FileVersion is the project version") {
  CHECK(GetFileVersionString(OwnPath()) == TANDREL_VERSION);
}

TEST_CASE("the first translation with a FileVersion gives it") {
  CHECK(GetFileVersionString(TANDREL_TEST_VERSIONED) == "9.8.7");
}

TEST_CASE("no file, a folder or a file without a version resource give no version") {
  CHECK(GetFileVersionString("").empty());
  CHECK(GetFileVersionString(OwnPath() + ".missing").empty());
  CHECK(GetFileVersionString("C:\\windows").empty());
  CHECK(GetFileVersionString(TANDREL_TEST_CHILD).empty());
}
