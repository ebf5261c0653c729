#pragma once

#include <string>

// One running instance per desktop: an exclusive lock on a file named after
// the main window's class and the display. The lock dies with the process, so
// a crashed instance never blocks the next start.
class TSingleInstanceLock {
public:
  TSingleInstanceLock() = default;
  ~TSingleInstanceLock();
  TSingleInstanceLock(const TSingleInstanceLock &) = delete;
  TSingleInstanceLock &operator=(const TSingleInstanceLock &) = delete;

  enum class TResult { Acquired, HeldByAnother, Failed };
  // `folder` must be private to the user; `display` names the desktop.
  TResult Acquire(const std::string &folder, const std::string &className, const std::string &display);

private:
  int FDescriptor = -1;
};

// The desktop this process runs on: $WAYLAND_DISPLAY or $DISPLAY, else "console".
std::string CurrentDisplayName();
