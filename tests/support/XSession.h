#pragma once
// A private X display (Xvfb) for tests that drive the real program through
// its windows, with the few xdotool actions they need.
//
// A bare display has no window manager: windows appear where they place
// themselves, keys reach a window only after windowactivate/windowfocus, and
// nothing turns alt+F4 into a close request. closeWindow() therefore sends
// the WM_DELETE_WINDOW message itself, which is what a window manager does
// when the user clicks the close button. (xdotool's windowkill cuts the
// client's X connection instead: the program dies without running its close
// handler.) A managed display runs a window manager (openbox), as a desktop
// does; wine's windows expect one.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class TXSession {
public:
  enum class TDesk { Bare, Managed };

  // Starts Xvfb and waits (bounded) until it has chosen its display; a
  // managed desk then starts the window manager and waits until it runs.
  explicit TXSession(TDesk desk = TDesk::Bare);
  // Stops the window manager and the Xvfb it started, by their PIDs.
  ~TXSession();
  TXSession(const TXSession &) = delete;
  TXSession &operator=(const TXSession &) = delete;

  bool isReady() const { return !FDisplay.isEmpty(); }
  QString errorString() const { return FError; }
  // The system environment with DISPLAY pointing here.
  QProcessEnvironment environment() const;

  // The id of a visible window whose title is exactly `title`, waiting up to
  // `timeoutMs`; empty when none appeared.
  QString findWindow(const QString &title, int timeoutMs = 20000) const;
  // Whether a visible window has exactly this title right now.
  bool hasWindow(const QString &title) const;
  bool windowExists(const QString &window) const;
  // Left click at (x, y) of the window's client area; `count` clicks
  // `delayMs` apart (two 80 ms apart make a double click).
  bool click(const QString &window, int x, int y, int count = 1, int delayMs = 100) const;
  // Activates and focuses the window, then sends keys such as "ctrl+alt+l".
  bool key(const QString &window, const QString &keys) const;
  // Focuses the window and types `text` into its focused control.
  bool type(const QString &window, const QString &text) const;
  // Moves the window's top left corner to (x, y) of the screen.
  bool moveWindow(const QString &window, int x, int y) const;
  // Asks the window to close, as a window manager's close button does.
  bool closeWindow(const QString &window) const;
  // The text on the clipboard (xclip); empty when there is none.
  QString clipboard() const;
  // Saves one window's picture as PNG at `path`.
  bool windowPicture(const QString &window, const QString &path) const;
  // Saves the whole screen; for the evidence of a failed test.
  bool screenshot(const QString &path) const;
  // When the current test function has failed, saves the screen under the
  // system temp folder and names the file in the test output.
  void screenshotIfFailed() const;

private:
  bool xdotool(const QStringList &args, QByteArray *output = nullptr) const;
  QStringList search(const QString &title) const;

  void startWindowManager();

  QProcess FServer;
  QProcess FWindowManager;
  QString FDisplay;
  QString FError;
};
