#include "XDisplay.h"

#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int XvfbStartMs = 10000;
}

bool TXDisplay::Start(std::string *error) {
  int displayFd = -1;
  // -displayfd: Xvfb picks a free display and writes its number to fd 3.
  if (!FServer.Start({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {}, "",
                     &displayFd)) {
    *error = "cannot start Xvfb";
    return false;
  }
  std::string number;
  char buffer[32];
  pollfd poller{displayFd, POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&poller, 1, XvfbStartMs) > 0) {
    const ssize_t got = read(displayFd, buffer, sizeof buffer);
    if (got <= 0)
      break;
    number.append(buffer, static_cast<size_t>(got));
  }
  close(displayFd);
  if (number.find('\n') == std::string::npos) {
    *error = "Xvfb did not report its display";
    FServer.Stop();
    return false;
  }
  FDisplay = ":" + number.substr(0, number.find('\n'));
  return true;
}

bool TXDisplay::Xdotool(const std::vector<std::string> &args, std::string *output) const {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, {EnvironmentEntry()}, output) == 0;
}

std::string TXDisplay::FindWindow(const std::string &titleRegex, int timeoutMs) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::string found;
    if (Xdotool({"search", "--onlyvisible", "--name", titleRegex}, &found) && !found.empty())
      return found.substr(0, found.find('\n'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  return {};
}

bool TXDisplay::Click(const std::string &window, int x, int y, int button) const {
  return Xdotool(
      {"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", std::to_string(button)});
}

bool TXDisplay::Move(const std::string &window, int x, int y) const {
  return Xdotool({"windowmove", "--sync", window, std::to_string(x), std::to_string(y)});
}

std::string TXDisplay::Clipboard() const {
  std::string text;
  if (RunCommand({"xclip", "-o", "-selection", "clipboard"}, {EnvironmentEntry()}, &text) != 0)
    return {};
  return text;
}

bool TXDisplay::Keys(const std::string &window, const std::vector<std::string> &keys) const {
  std::vector<std::string> args{"key", "--clearmodifiers"};
  args.insert(args.end(), keys.begin(), keys.end());
  return (window.empty() || Xdotool({"windowfocus", "--sync", window})) && Xdotool(args);
}

bool TXDisplay::Type(const std::string &window, const std::string &text) const {
  return Xdotool({"windowfocus", "--sync", window}) && Xdotool({"type", "--delay", "10", text});
}
