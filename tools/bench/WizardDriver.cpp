#include "WizardDriver.h"

#include "serial/COMUtils.h"

#include <array>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int DialogTimeoutMs = 5000;
const std::string COMDialogTitle = "^Настройки COM-порта$";
const std::string TCPDialogTitle = "^Настройки TCP сервера$";
const std::string LogTitle = "^Данные$";
// A point inside the log list, and one inside the phone-number box.
constexpr int LogListX = 300, LogListY = 100;
constexpr int PhoneX = 200, PhoneY = 72;
// The speed list of the COM settings dialog, in its order.
constexpr std::array<long, 14> Speeds = {600,   1200,  2400,  4800,  9600,   14400,  19200,
                                         28800, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

bool TWizardDriver::FindMainWindow(int timeoutMs) {
  FMain = FDisplay.FindWindow("^Мастер подключения", timeoutMs);
  return !FMain.empty();
}

std::string TWizardDriver::OpenDialog(const std::string &hotKey, const std::string &title) {
  if (!FDisplay.Keys(FMain, {hotKey}))
    return {};
  return FDisplay.FindWindow(title, DialogTimeoutMs);
}

// The save button hides the dialog; a click that only closed a list is repeated.
bool TWizardDriver::Save(const std::string &dialog, const std::string &title, int x, int y) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!FDisplay.Click(dialog, x, y))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (FDisplay.FindWindow(title, 0).empty())
      return true;
  }
  return false;
}

bool TWizardDriver::SetTcpPort(int port) {
  const std::string dialog = OpenDialog("ctrl+alt+t", TCPDialogTitle);
  return !dialog.empty() && FDisplay.Click(dialog, 90, 31) && FDisplay.Keys(dialog, {"ctrl+a"}) &&
         FDisplay.Type(dialog, std::to_string(port)) && Save(dialog, TCPDialogTitle, 170, 61);
}

// The list is opened with a click and walked from its top, so the result does
// not depend on which control had the focus before.
bool TWizardDriver::SetBaud(long baud) {
  size_t index = 0;
  while (index < Speeds.size() && Speeds[index] != baud)
    ++index;
  if (index == Speeds.size())
    return false;
  const std::string dialog = OpenDialog("ctrl+alt+c", COMDialogTitle);
  if (dialog.empty() || !FDisplay.Click(dialog, 110, 23))
    return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::string> keys{"Home"};
  keys.insert(keys.end(), index, "Down");
  keys.push_back("Return");
  return FDisplay.Keys(dialog, keys) && Save(dialog, COMDialogTitle, 200, 52);
}

bool TWizardDriver::ClickConnectLabel() { return FDisplay.Click(FMain, 30, 95); }

bool TWizardDriver::TypePhoneNumber(const std::string &number) {
  return FDisplay.Click(FMain, PhoneX, PhoneY) && FDisplay.Type(FMain, number);
}

bool TWizardDriver::OpenLog() {
  FLog = OpenDialog("ctrl+alt+l", LogTitle);
  return !FLog.empty() && FDisplay.Move(FLog, 380, 0);
}

// The popup menu takes the keys once it is open; the first Down selects its
// first item. A click that comes before the menu has closed only closes it.
bool TWizardDriver::ChooseLogMenuItem(int index) {
  if (!FDisplay.Click(FLog, LogListX, LogListY, 3))
    return false;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::vector<std::string> keys(static_cast<size_t>(index) + 1, "Down");
  keys.push_back("Return");
  const bool chosen = FDisplay.Keys({}, keys);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  return chosen;
}

bool TWizardDriver::ClearLog() { return ChooseLogMenuItem(0); }

bool TWizardDriver::ToggleHexView() { return ChooseLogMenuItem(2); }

std::string TWizardDriver::CopyLog() {
  if (!FDisplay.Click(FLog, LogListX, LogListY) || !FDisplay.Keys(FLog, {"ctrl+a", "ctrl+c"}))
    return {};
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return FDisplay.Clipboard();
}

long CurrentLineSpeed(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return 0;
  const long speed = GetCOMSpeed(fd);
  close(fd);
  return speed;
}
