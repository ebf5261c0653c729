#include "XSession.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTest>
#include <QRegularExpression>
#include <QThread>

#include <dlfcn.h>

// Last: Xlib's macros (None, Bool, Status ...) would clash with Qt headers.
#include <X11/Xlib.h>

namespace {

constexpr int StartTimeoutMs = 15000;
constexpr int CommandTimeoutMs = 10000;
constexpr int StopTimeoutMs = 5000;
constexpr unsigned long PollPauseMs = 100;

// xdotool matches titles as case-insensitive extended regular expressions.
QString AnchoredPattern(const QString &title) {
  QString pattern = title;
  pattern.replace(QRegularExpression(QStringLiteral(R"(([.\[\]{}()\\*+?|^$]))")), QStringLiteral(R"(\\1)"));
  return u'^' + pattern + u'$';
}

// The test support library does not link libX11, so the few calls of the
// close request are looked up at run time.
class TXlib {
public:
  TXlib() : FHandle(dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL)) {}
  ~TXlib() {
    if (FHandle)
      dlclose(FHandle);
  }
  TXlib(const TXlib &) = delete;
  TXlib &operator=(const TXlib &) = delete;

  template <typename TFunction> TFunction *Get(const char *name) const {
    return FHandle ? reinterpret_cast<TFunction *>(dlsym(FHandle, name)) : nullptr;
  }

private:
  void *FHandle;
};

bool SendDeleteWindow(const QByteArray &display, unsigned long window) {
  const TXlib xlib;
  const auto openDisplay = xlib.Get<decltype(XOpenDisplay)>("XOpenDisplay");
  const auto internAtom = xlib.Get<decltype(XInternAtom)>("XInternAtom");
  const auto sendEvent = xlib.Get<decltype(XSendEvent)>("XSendEvent");
  const auto sync = xlib.Get<decltype(XSync)>("XSync");
  const auto closeDisplay = xlib.Get<decltype(XCloseDisplay)>("XCloseDisplay");
  if (!openDisplay || !internAtom || !sendEvent || !sync || !closeDisplay)
    return false;
  Display *connection = openDisplay(display.constData());
  if (!connection)
    return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = internAtom(connection, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(internAtom(connection, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = sendEvent(connection, window, False, NoEventMask, &event) != 0;
  sync(connection, False);
  closeDisplay(connection);
  return sent;
}

} // namespace

TXSession::TXSession(TDesk desk) {
  EndWithTheTest(FServer);
  // -displayfd 1: Xvfb picks a free display and prints its number on stdout.
  // -noreset: on a bare desk the server would otherwise reset whenever the
  // last client leaves, and a program starting during the reset cannot connect.
  FServer.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                          QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                                          QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                          QStringLiteral("-noreset")});
  QByteArray output;
  if (!WaitForOutput(FServer, "\n", StartTimeoutMs, output)) {
    FError = QStringLiteral("Xvfb did not start: %1 %2")
                 .arg(FServer.errorString(), QString::fromLocal8Bit(FServer.readAllStandardError()));
    return;
  }
  FDisplay = u':' + QString::fromLatin1(output.trimmed());
  if (desk == TDesk::Managed)
    startWindowManager();
}

void TXSession::startWindowManager() {
  FWindowManager.setProcessEnvironment(environment());
  FWindowManager.setProcessChannelMode(QProcess::MergedChannels);
  EndWithTheTest(FWindowManager);
  FWindowManager.start(QStringLiteral("openbox"),
                       {QStringLiteral("--sm-disable"), QStringLiteral("--startup"), QStringLiteral("echo wm-ready")});
  QByteArray output;
  if (!WaitForOutput(FWindowManager, "wm-ready", StartTimeoutMs, output)) {
    FError = QStringLiteral("the window manager (openbox) did not start: %1 %2")
                 .arg(FWindowManager.errorString(), QString::fromLocal8Bit(output));
    FDisplay.clear();
  }
}

TXSession::~TXSession() {
  StopChild(FWindowManager, StopTimeoutMs);
  StopChild(FServer, StopTimeoutMs);
}

QProcessEnvironment TXSession::environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("DISPLAY"), FDisplay);
  environment.remove(QStringLiteral("XAUTHORITY"));
  return environment;
}

bool TXSession::xdotool(const QStringList &args, QByteArray *output) const {
  return RunCommand(environment(), QStringLiteral("xdotool"), args, CommandTimeoutMs, output);
}

QStringList TXSession::search(const QString &title) const {
  QByteArray output;
  if (!xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                AnchoredPattern(title)},
               &output))
    return {};
  QStringList exact;
  for (const QByteArray &line : output.split('\n')) {
    QByteArray name;
    const QString window = QString::fromLatin1(line.trimmed());
    if (!window.isEmpty() && xdotool({QStringLiteral("getwindowname"), window}, &name) &&
        QString::fromUtf8(name).chopped(1) == title)
      exact.append(window);
  }
  return exact;
}

QString TXSession::findWindow(const QString &title, int timeoutMs) const {
  const QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    const QStringList windows = search(title);
    if (!windows.isEmpty())
      return windows.first();
    if (deadline.hasExpired())
      return {};
    QThread::msleep(PollPauseMs);
  }
}

bool TXSession::hasWindow(const QString &title) const { return !search(title).isEmpty(); }

bool TXSession::windowExists(const QString &window) const {
  return xdotool({QStringLiteral("getwindowname"), window});
}

bool TXSession::click(const QString &window, int x, int y, int count, int delayMs) const {
  // No --sync: it waits for a pointer motion that never comes when the
  // pointer already is at the spot (a second click on the same label).
  return xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                  QString::number(y), QStringLiteral("click"), QStringLiteral("--repeat"), QString::number(count),
                  QStringLiteral("--delay"), QString::number(delayMs), QStringLiteral("1")});
}

bool TXSession::key(const QString &window, const QString &keys) const {
  // windowactivate needs a window manager; focusing is what activates a
  // window without one.
  return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}) &&
         xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys});
}

bool TXSession::type(const QString &window, const QString &text) const {
  return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}) &&
         xdotool({QStringLiteral("type"), QStringLiteral("--clearmodifiers"), text});
}

bool TXSession::moveWindow(const QString &window, int x, int y) const {
  return xdotool({QStringLiteral("windowmove"), QStringLiteral("--sync"), window, QString::number(x), QString::number(y)});
}

bool TXSession::closeWindow(const QString &window) const {
  bool ok = false;
  const unsigned long id = window.toULong(&ok);
  return ok && SendDeleteWindow(FDisplay.toLatin1(), id);
}

QString TXSession::clipboard() const {
  QByteArray text;
  RunCommand(environment(), QStringLiteral("xclip"),
             {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")}, CommandTimeoutMs, &text);
  return QString::fromUtf8(text);
}

bool TXSession::windowPicture(const QString &window, const QString &path) const {
  return RunCommand(environment(), QStringLiteral("import"), {QStringLiteral("-window"), window, path},
                    CommandTimeoutMs);
}

bool TXSession::screenshot(const QString &path) const {
  return RunCommand(environment(), QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path},
                    CommandTimeoutMs);
}

void TXSession::screenshotIfFailed() const {
  if (!QTest::currentTestFailed())
    return;
  const QString path = QDir::temp().filePath(QStringLiteral("%1-%2.png")
                                                 .arg(QLatin1String(QTest::currentAppName()),
                                                      QLatin1String(QTest::currentTestFunction())));
  if (screenshot(path))
    qInfo("Screen at the failure: %s", qPrintable(path));
}
