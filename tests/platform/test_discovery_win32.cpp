// Port discovery on Windows: the MS-DOS device table (the wine prefix maps
// COM12 to the peer's pty) and the Ports class, with a fake device whose
// removal pulls the cable.

#include "FakePortDevice.h"
#include "platform/WinText.h"
#include "serial/COMUtils.h"

#include <doctest.h>

#include <algorithm>
#include <stdexcept>

namespace {

std::vector<std::string> FriendlyNames() {
  std::vector<std::string> lines;
  ListPortFriendlyNames(lines, TPortSystem::FromEnvironment());
  return lines;
}

bool HasLineEnding(const std::vector<std::string> &lines, const std::string &end) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
    return line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0;
  });
}

// A device table that answers each call from a script and notes the sizes
// it was asked with.
struct TScriptedTable {
  struct TAnswer {
    DWORD count;
    DWORD error;
    std::wstring contents;
  };
  std::vector<TAnswer> answers;
  std::vector<DWORD> sizes;

  TPortSystem System() {
    return TPortSystem{[this](wchar_t *buffer, DWORD size) {
      sizes.push_back(size);
      const TAnswer answer = answers.at(sizes.size() - 1);
      std::copy_n(answer.contents.begin(), std::min<size_t>(answer.contents.size(), size), buffer);
      SetLastError(answer.error);
      return answer.count;
    }};
  }
};

} // namespace

TEST_CASE("the port list holds the system's COM device names") {
  std::vector<std::string> ports{"left over"};
  ListDosDevices(ports, TPortSystem::FromEnvironment());
  CHECK(std::find(ports.begin(), ports.end(), "COM12") != ports.end());
  for (const std::string &port : ports)
    CHECK(port.rfind("COM", 0) == 0);
}

TEST_CASE("a short device table buffer grows by the reported count, else by the size, plus 1024") {
  const std::wstring table(L"COM3\0com4\0COMx\0LPT1\0COM10\0COM2\0\0", 32);
  TScriptedTable script;
  script.answers = {{0, ERROR_INSUFFICIENT_BUFFER, L""},
                    {7000, ERROR_INSUFFICIENT_BUFFER, L""},
                    {static_cast<DWORD>(table.size()), 0, table}};
  std::vector<std::string> ports;
  ListDosDevices(ports, script.System());
  CHECK(script.sizes == std::vector<DWORD>{5120, 6144, 8024});
  // Case-sensitive prefix, any name after it, the table's order.
  CHECK(ports == std::vector<std::string>{"COM3", "COMx", "COM10", "COM2"});
}

TEST_CASE("a device table that cannot be read raises the system's message and leaves the list alone") {
  TScriptedTable script;
  script.answers = {{12, ERROR_ACCESS_DENIED, L""}};
  std::vector<std::string> ports{"COM3"};
  try {
    ListDosDevices(ports, script.System());
    FAIL("no error raised");
  } catch (const std::runtime_error &error) {
    const std::string text = error.what();
    CHECK(text == Utf8FromWide(SystemMessage(ERROR_ACCESS_DENIED)));
    CHECK_FALSE(text.empty());
    CHECK(text.find_last_of(".\r\n ") != text.size() - 1);
  }
  CHECK(ports == std::vector<std::string>{"COM3"});
}

TEST_CASE("a port is present while a Ports device names it whole, in any letter case") {
  const TPortSystem system = TPortSystem::FromEnvironment();
  CHECK_FALSE(IsPortPresent("COM5", system));

  TFakePortDevice cable(L"TANDRELFAKEPORT", L"Fake serial port (COM5)");
  TFakePortDevice nameless(L"TANDRELNONAME", L"");
  TFakePortDevice other(L"TANDRELFAKEPORT", L"Fake serial port (COM15)");
  const std::vector<std::string> lines = FriendlyNames();
  CHECK(HasLineEnding(lines, ": Fake serial port (COM5)"));
  CHECK(HasLineEnding(lines, ": Fake serial port (COM15)"));
  CHECK(std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
          return line.size() >= 2 && line.compare(line.size() - 2, 2, ": ") == 0;
        }) >= 1);
  for (size_t i = 0; i < lines.size(); ++i)
    CHECK(lines[i].rfind(std::to_string(i) + ": ", 0) == 0);

  CHECK(IsPortPresent("COM5", system));
  CHECK(IsPortPresent("com5", system));
  CHECK(IsPortPresent("COM15", system));
  CHECK_FALSE(IsPortPresent("COM1", system));
  CHECK_FALSE(IsPortPresent("COM", system));
  CHECK_FALSE(IsPortPresent("", system));

  cable.Remove();
  CHECK_FALSE(IsPortPresent("COM5", system));
  CHECK(IsPortPresent("COM15", system));
  CHECK_FALSE(HasLineEnding(FriendlyNames(), "(COM5)"));
}

TEST_CASE("a listed port carries the friendly name of the device that names it") {
  TFakePortDevice adapter(L"TANDRELFAKEPORT", L"Fake USB serial adapter (COM12)");
  std::vector<TPortEntry> ports;
  ListPorts(ports, TPortSystem::FromEnvironment());
  const auto com12 = std::find_if(ports.begin(), ports.end(), [](const TPortEntry &port) { return port.path == "COM12"; });
  REQUIRE(com12 != ports.end());
  CHECK(com12->description == "Fake USB serial adapter");
  std::vector<std::string> names;
  ListDosDevices(names, TPortSystem::FromEnvironment());
  REQUIRE(names.size() == ports.size());
  for (size_t i = 0; i < names.size(); ++i)
    CHECK(ports[i].path == names[i]);
}
