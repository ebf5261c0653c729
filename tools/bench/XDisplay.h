#pragma once
// A private Xvfb display and the xdotool actions that drive the wizard.
// There is no window manager: keys reach a window after windowfocus.

#include "ChildProcess.h"

#include <string>

class TXDisplay {
public:
  bool Start(std::string *error);
  void Stop() { FServer.Stop(); }
  // "DISPLAY=:N", for the programs shown here.
  std::string EnvironmentEntry() const { return "DISPLAY=" + FDisplay; }

  // The first visible window whose title matches the extended regular
  // expression, waiting up to `timeoutMs`; empty when none appeared.
  std::string FindWindow(const std::string &titleRegex, int timeoutMs) const;
  // A click (button 1 left, 3 right) at (x, y) of the window's client area.
  bool Click(const std::string &window, int x, int y, int button = 1) const;
  // Without a window manager new windows open at the origin, over the others.
  bool Move(const std::string &window, int x, int y) const;
  // The clipboard's text, read by xclip; empty when it cannot be read.
  std::string Clipboard() const;
  // Focuses the window and sends key names such as "ctrl+alt+c"; with no
  // window, to whatever has the keyboard (an open popup menu).
  bool Keys(const std::string &window, const std::vector<std::string> &keys) const;
  bool Type(const std::string &window, const std::string &text) const;

private:
  bool Xdotool(const std::vector<std::string> &args, std::string *output = nullptr) const;

  TChildProcess FServer;
  std::string FDisplay;
};
