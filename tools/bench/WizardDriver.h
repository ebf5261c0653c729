#pragma once
// Drives the real wizard through its windows: the TCP port and line speed in
// the hidden settings dialogs, the phone number, the connect label and the
// log window.

#include "XDisplay.h"

#include <string>

class TWizardDriver {
public:
  explicit TWizardDriver(const TXDisplay &display) : FDisplay(display) {}

  bool FindMainWindow(int timeoutMs);
  // Ctrl+Alt+T, then the port typed into the port field and saved.
  bool SetTcpPort(int port);
  // Ctrl+Alt+C, then the speed picked from the speed list and saved.
  bool SetBaud(long baud);
  // "Подключить" and "Отключить" are the same label.
  bool ClickConnectLabel();
  bool TypePhoneNumber(const std::string &number);

  // Ctrl+Alt+L; the window is moved off the main window.
  bool OpenLog();
  // "Очистить" of the log's popup menu.
  bool ClearLog();
  // "Шестнадцатеричный вид" of the log's popup menu: switches the view.
  bool ToggleHexView();
  // Every entry of the log, one a line, through the clipboard; empty when
  // it cannot be had.
  std::string CopyLog();

private:
  bool ChooseLogMenuItem(int index);
  std::string OpenDialog(const std::string &hotKey, const std::string &title);
  bool Save(const std::string &dialog, const std::string &title, int x, int y);

  const TXDisplay &FDisplay;
  std::string FMain;
  std::string FLog;
};

// The line speed the pty at `path` is set to now; 0 when unreadable.
long CurrentLineSpeed(const std::string &path);
