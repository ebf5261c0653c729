#pragma once

#include <cstdint>
#include <string>

// One running instance per desktop. POSIX: an exclusive lock on a file named
// after the main window's class and the display. Windows: a named mutex in
// the session's Local\ namespace. Either dies with the process, so a crashed
// instance never blocks the next start.
class TSingleInstanceLock {
public:
  TSingleInstanceLock() = default;
  ~TSingleInstanceLock();
  TSingleInstanceLock(const TSingleInstanceLock &) = delete;
  TSingleInstanceLock &operator=(const TSingleInstanceLock &) = delete;

  enum class TResult { Acquired, HeldByAnother, Failed };
  // `folder` must be private to the user; `display` names the desktop (both
  // unused on Windows, where the session is the desktop).
  TResult Acquire(const std::string &folder, const std::string &className, const std::string &display);

  // Marks `nativeWindow` (the main window's handle) as the window that a
  // later start brings forward. Windows only; elsewhere it does nothing.
  void PublishWindow(std::uintptr_t nativeWindow);

private:
  int FDescriptor = -1;
#ifdef _WIN32
  void *FMutex = nullptr;
#endif
  std::string FClassName;
};

// Brings the window published by the running instance of `className` to the
// front. Windows only; elsewhere false, and the second start only says that
// the program runs already.
bool BringRunningInstanceForward(const std::string &className);

// The desktop this process runs on: $WAYLAND_DISPLAY or $DISPLAY, else "console".
std::string CurrentDisplayName();
