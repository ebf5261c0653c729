// The Windows wizard itself under wine: build-windows/dist/tandrel.exe and
// the installer (scripts/build-windows.sh) on a private display with a window
// manager, against the simulated device on a pseudo-terminal that the wine
// prefix maps as COM5, with a device of the Ports class standing in for its
// USB adapter (plugged and pulled by tandrel_fakeport.exe). Runs in the wine
// stage (label "wine"): the test makes the prefix on its display (Windows 10,
// wine's fonts), and CTest ends its wine server afterwards.

#include "ChildProcess.h"
#include "E2ETest.h"
#include "SimProcess.h"
#include "TestFiles.h"
#include "WinDemoEcho.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>

namespace {

// wine's start of a Qt program and of the setup program it starts.
constexpr int WineStartTimeoutMs = 120000;
constexpr int WineCommandTimeoutMs = 60000;
// The simulated cable stays out this long; the wizard tries to reopen the
// port about every 550 ms meanwhile.
constexpr int UnpluggedMs = 4000;
// A second click on the label sooner than this is a double click, which the
// wizard ignores.
constexpr int PastDoubleClickMs = 700;
const QString Port = QStringLiteral("COM5");
const QString AdapterName = QStringLiteral("USB Serial Port (COM5)");
// setup.ini names windemosetup.exe; the wizard adds ".exe" for its copy.
const QString CopyName = QStringLiteral("windemosetup.exe.exe");
const QString SettingsKey = QStringLiteral("HKCU\\SOFTWARE\\Korvel\\Tandrel");
const QString LogTitle = QStringLiteral("Данные");
// A point in the log window's list, which takes the keys that copy the lines.
constexpr int LogListX = 100;
constexpr int LogListY = 60;
// The status line's row in the main window's client area.
constexpr int StatusTop = 84;
constexpr int StatusBottom = 104;

QString BuildDir() { return qEnvironmentVariable("TANDREL_WINDOWS_BUILD_DIR"); }
QString DistExe() { return BuildDir() + QStringLiteral("/dist/tandrel.exe"); }

quint16 FreePort() {
  QTcpServer probe;
  return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QProcessEnvironment WineEnvironment(const TXSession &display) {
  QProcessEnvironment environment = display.environment();
  environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
  return environment;
}

// A short wine command in the test's prefix (reg, the fake adapter).
bool Wine(const TXSession &display, const QStringList &args, QByteArray *output = nullptr) {
  return RunCommand(WineEnvironment(display), QStringLiteral("wine"), args, WineCommandTimeoutMs, output);
}

// A value under the wizard's registry key as `reg query` prints it ("COM5",
// "0x1"); empty when it is not there.
QString StoredValue(const TXSession &display, const QString &name) {
  QByteArray output;
  if (!Wine(display, {QStringLiteral("reg"), QStringLiteral("query"), SettingsKey, QStringLiteral("/v"), name}, &output))
    return {};
  const QRegularExpression line(QStringLiteral(R"(^\s+)") + QRegularExpression::escape(name) + QStringLiteral(R"(\s+REG_\w+\s+(\S*)\s*$)"),
                                QRegularExpression::MultilineOption);
  return line.match(QString::fromUtf8(output).remove(u'\r')).captured(1);
}

// The process ids of this prefix's Windows programs whose command line names
// `name`: wine runs each as a host process with the prefix in its environment.
QList<qint64> PrefixProcessesNaming(const QString &name) {
  const QByteArray prefix = "WINEPREFIX=" + qgetenv("WINEPREFIX");
  QList<qint64> found;
  for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    bool isPid = false;
    const qint64 pid = entry.toLongLong(&isPid);
    if (!isPid)
      continue;
    const QByteArray commandLine = ReadFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (commandLine.contains(name.toUtf8()) &&
        ReadFile(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0').contains(prefix))
      found.append(pid);
  }
  return found;
}

// Where the wizard copies the setup program: the user's temp folder in the
// prefix (wine's is C:\users\<user>\Temp).
QString SetupCopyPath() {
  const QDir users(qEnvironmentVariable("WINEPREFIX") + QStringLiteral("/drive_c/users"));
  for (const QString &user : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString temp = users.filePath(user + QStringLiteral("/Temp"));
    if (QFileInfo(temp).isDir())
      return temp + u'/' + CopyName;
  }
  return {};
}

// Red text stands in the status line: "Прибор недоступен" and the other
// failures; the normal texts are black.
bool StatusIsRed(const TXSession &display, const QString &window, const QString &pictureDir) {
  const QString path = pictureDir + QStringLiteral("/main.png");
  QImage picture;
  if (!display.windowPicture(window, path) || !picture.load(path))
    return false;
  int red = 0;
  for (int y = StatusTop; y < qMin(StatusBottom, picture.height()); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      const QColor colour = picture.pixelColor(x, y);
      red += colour.red() > 160 && colour.green() < 90 && colour.blue() < 90;
    }
  }
  return red > 10;
}

// One run of a Windows program of ours under wine on the display; killed
// at the end of the test if it still runs.
class TWineProgram {
public:
  TWineProgram(const TXSession &display, const QString &exe, const QProcessEnvironment &extra, const QString &output,
               const QStringList &args = {}) {
    QProcessEnvironment environment = WineEnvironment(display);
    environment.insert(extra);
    FProcess.setProcessEnvironment(environment);
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.setStandardOutputFile(output, QIODevice::Append);
    FProcess.setWorkingDirectory(QFileInfo(exe).path());
    EndWithTheTest(FProcess);
    FProcess.start(QStringLiteral("wine"), QStringList{exe} + args);
    FProcess.waitForStarted();
  }
  ~TWineProgram() {
    if (FProcess.state() == QProcess::NotRunning)
      return;
    FProcess.kill(); // our own child only
    FProcess.waitForFinished(WineCommandTimeoutMs);
  }
  TWineProgram(const TWineProgram &) = delete;
  TWineProgram &operator=(const TWineProgram &) = delete;

  bool isRunning() const { return FProcess.state() != QProcess::NotRunning; }
  bool hasEnded(int timeoutMs) { return !isRunning() || FProcess.waitForFinished(timeoutMs); }
  // True when it ended with status 0 within the time.
  bool exitsCleanly(int timeoutMs) {
    return FProcess.waitForFinished(timeoutMs) && FProcess.exitStatus() == QProcess::NormalExit &&
           FProcess.exitCode() == 0;
  }

private:
  QProcess FProcess;
};

} // namespace

class TestE2EWindows : public TE2ETest {
  Q_OBJECT

public:
  TestE2EWindows() : TE2ETest(TXSession::TDesk::Managed) {}

private:
  QString output() const { return QString::fromLocal8Bit(ReadFile(FOutput)); }

  // The main window of a started wizard: the title carries the version of
  // the executable's version resource.
  QString wizardWindow() const { return FDisplay.findWindow(TTandrelProcess::MainWindowTitle(), WineStartTimeoutMs); }

  bool plugAdapter() const { return Wine(FDisplay, {FFakePort, QStringLiteral("add"), AdapterName}); }
  bool pullAdapter() const { return Wine(FDisplay, {FFakePort, QStringLiteral("remove"), Port}); }

  // The log window's lines, copied through the clipboard.
  QString logText(const QString &log) const {
    if (!FDisplay.click(log, LogListX, LogListY) || !FDisplay.key(log, QStringLiteral("ctrl+a")) ||
        !FDisplay.key(log, QStringLiteral("ctrl+c")))
      return {};
    QTest::qWait(300);
    return FDisplay.clipboard();
  }

  // Starts the wizard on the stored settings, with the Windows demo setup
  // program in its echo mode; its main window with the bridge set to a free
  // port, or empty.
  QString startWizard(std::optional<TWineProgram> &wizard) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("DEMOSETUP_PORT"), QString::number(FBridgePort));
    environment.insert(QStringLiteral("DEMOSETUP_ECHO"), QString::number(WinDemoEchoSize));
    environment.insert(QStringLiteral("DEMOSETUP_RESULT"), QStringLiteral("Z:") + FResult);
    wizard.emplace(FDisplay, DistExe(), environment, FOutput);
    return mainWindow(FBridgePort);
  }

  QString FFakePort;
  QString FOutput;
  QString FResult;
  quint16 FBridgePort = 0;
  QTemporaryDir FDir;
  std::optional<TSimProcess> FDevice;

private slots:
  void initTestCase() {
    QVERIFY2(FDisplay.isReady(), qPrintable(FDisplay.errorString()));
    QVERIFY2(QFile::exists(DistExe()),
             qPrintable(QStringLiteral("no Windows build at %1 (scripts/build-windows.sh)").arg(DistExe())));
    QVERIFY2(!qEnvironmentVariable("WINEPREFIX").isEmpty(), "no WINEPREFIX: the wine stage's fixture makes it");
    FFakePort = BuildDir() + QStringLiteral("/tandrel_fakeport.exe");
    FOutput = FDir.filePath(QStringLiteral("wine-output.txt"));
    FResult = FDir.filePath(QStringLiteral("result.txt"));
    FBridgePort = FreePort();
    QVERIFY(FBridgePort != 0);

    // The device answers with the key that setup.ini maps to the demo.
    FDevice.emplace(TSimProcess::TKind::Device,
                    QStringList{QStringLiteral("--reply"), QStringLiteral(R"(+VER_INFO: "SIM",WINDEMO.1.0,SN000001\r\nOK\r\n)")});
    QVERIFY2(FDevice->isReady(), qPrintable(FDevice->errorString()));
    // COM5 leads to the simulator's port.
    QVERIFY2(RunCommand(FDisplay.environment(), qEnvironmentVariable("TANDREL_WINE_PREFIX_SCRIPT"),
                        {QStringLiteral("start"), qEnvironmentVariable("WINEPREFIX"), QStringLiteral("--display"),
                         Port + u'=' + FDevice->linkPath()},
                        WineStartTimeoutMs),
             "the wine prefix could not be made");
    QVERIFY2(plugAdapter(), "tandrel_fakeport.exe could not register the adapter");
  }

  // The first start offers the USB adapter among the ports (wine maps the
  // machine's own serial ports too) and the window's close stores it.
  void firstStartOffersTheUsbAdapterAndAltF4StoresIt() {
    Wine(FDisplay, {QStringLiteral("reg"), QStringLiteral("delete"), SettingsKey, QStringLiteral("/f")});
    QElapsedTimer sinceStart;
    sinceStart.start();
    TWineProgram wizard(FDisplay, DistExe(), {}, FOutput);
    const QString window = wizardWindow();
    QVERIFY2(!window.isEmpty(), qPrintable(output()));
    qInfo("the window showed %lld ms after the start", sinceStart.elapsed());
    QVERIFY(FDisplay.key(window, QStringLiteral("alt+F4")));
    QVERIFY2(wizard.exitsCleanly(WineStartTimeoutMs), qPrintable(output()));
    QCOMPARE(StoredValue(FDisplay, QStringLiteral("COM")), Port);
    QCOMPARE(StoredValue(FDisplay, QStringLiteral("CHANNEL")), QStringLiteral("0x0"));
  }

  // The installer puts the wizard into Program Files silently, with its
  // shortcut and uninstaller; the installed wizard starts; the uninstaller
  // takes it all away again.
  void installerInstallsSilentlyAndUninstalls() {
    const QStringList installers =
        QDir(BuildDir()).entryList({QStringLiteral("tandrel-*-setup.exe")}, QDir::Files);
    QCOMPARE(installers.size(), 1);
    TWineProgram installer(FDisplay, BuildDir() + u'/' + installers.first(), {}, FOutput, {QStringLiteral("/S")});
    QVERIFY2(installer.exitsCleanly(WineStartTimeoutMs), qPrintable(output()));
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    const QString installed = prefix + QStringLiteral("/drive_c/Program Files/Tandrel");
    for (const char *file : {"tandrel.exe", "Qt6Core.dll", "Qt6Widgets.dll", "platforms/qwindows.dll",
                             "styles/qwindowsvistastyle.dll", "libstdc++-6.dll", "setup.ini", "windemosetup.exe",
                             "licenses/Qt/LGPL-3.0-only.txt", "uninstall.exe"})
      QVERIFY2(QFile::exists(installed + u'/' + QLatin1String(file)), file);
    QVERIFY(QFile::exists(prefix + QStringLiteral("/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/"
                                                  "Мастер подключения.lnk")));

    {
      TWineProgram wizard(FDisplay, installed + QStringLiteral("/tandrel.exe"), {}, FOutput);
      const QString window = wizardWindow();
      QVERIFY2(!window.isEmpty(), qPrintable(output()));
      QVERIFY(FDisplay.key(window, QStringLiteral("alt+F4")));
      QVERIFY2(wizard.exitsCleanly(WineStartTimeoutMs), qPrintable(output()));
    }

    // The uninstaller runs on from a copy of itself in the temp folder.
    QVERIFY(Wine(FDisplay, {installed + QStringLiteral("/uninstall.exe"), QStringLiteral("/S")}));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(installed), StepTimeoutMs);
  }

  // A whole cable connection: identification, the Windows demo setup program
  // started from its copy and echoing 64 KiB, a pulled and replugged cable,
  // a refused second instance, "Отключить", and the end of the session
  // while connected.
  void cableConnectionRelaysRecoversAndEnds() {
    // The cable on COM5, stored as a previous run would have left it (in
    // other letter case, which the close writes back as listed).
    QVERIFY(Wine(FDisplay, {QStringLiteral("reg"), QStringLiteral("add"), SettingsKey, QStringLiteral("/v"),
                            QStringLiteral("COM"), QStringLiteral("/d"), QStringLiteral("com5"), QStringLiteral("/f")}));
    QVERIFY(Wine(FDisplay, {QStringLiteral("reg"), QStringLiteral("add"), SettingsKey, QStringLiteral("/v"),
                            QStringLiteral("CHANNEL"), QStringLiteral("/t"), QStringLiteral("REG_DWORD"),
                            QStringLiteral("/d"), QStringLiteral("1"), QStringLiteral("/f")}));
    std::optional<TWineProgram> wizard;
    const QString window = startWizard(wizard);
    QVERIFY2(!window.isEmpty(), qPrintable(output()));
    // The log records only while its window is open.
    QVERIFY(FDisplay.key(window, QStringLiteral("ctrl+alt+l")));
    const QString log = FDisplay.findWindow(LogTitle, WindowTimeoutMs);
    QVERIFY(!log.isEmpty());
    // Out of the way of the main window's label.
    QVERIFY(FDisplay.moveWindow(log, 0, 600));

    QElapsedTimer sinceClick;
    sinceClick.start();
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(FDevice->receivedBytes().startsWith("+VER_INFO=?\r\n"), StepTimeoutMs);
    QTRY_VERIFY2_WITH_TIMEOUT(!ReadFile(FResult).isEmpty(), qPrintable(output()), WineStartTimeoutMs);
    qInfo("connected and 64 KiB echoed %lld ms after the click", sinceClick.elapsed());
    QCOMPARE(ReadFile(FResult), QByteArray("ok 65536\n"));
    QVERIFY(FDevice->receivedBytes() == "+VER_INFO=?\r\n" + WinDemoEchoPattern());
    const QString copy = SetupCopyPath();
    QVERIFY2(QFile::exists(copy), qPrintable(copy));
    QVERIFY(!PrefixProcessesNaming(CopyName).isEmpty());

    // A second start is refused with the box, and the first runs on.
    {
      TWineProgram second(FDisplay, DistExe(), {}, FOutput);
      const QString box = FDisplay.findWindow(QStringLiteral("Предупреждение"), WineStartTimeoutMs);
      QVERIFY2(!box.isEmpty(), qPrintable(output()));
      QVERIFY(FDisplay.key(box, QStringLiteral("Return")));
      QVERIFY2(second.exitsCleanly(WineStartTimeoutMs), qPrintable(output()));
      QVERIFY(wizard->isRunning());
    }

    // The cable pulled: "Прибор недоступен" in red while the port is away,
    // reopen attempts, then the port reopened and the bridge listening again.
    QCOMPARE(FDevice->command(QStringLiteral("unplug %1").arg(UnpluggedMs)).left(2), QStringLiteral("OK"));
    QVERIFY(pullAdapter());
    QTRY_VERIFY_WITH_TIMEOUT(StatusIsRed(FDisplay, window, FDir.path()), StepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(FDevice->linkPath()), StepTimeoutMs);
    QVERIFY(plugAdapter());
    QTRY_VERIFY_WITH_TIMEOUT(!StatusIsRed(FDisplay, window, FDir.path()), StepTimeoutMs);
    const QString lines = logText(log);
    QVERIFY2(lines.contains(QStringLiteral("Попытка переокрытия COM порта")), qPrintable(lines));
    QVERIFY2(lines.contains(QStringLiteral("Порт успешно переоткрыт")), qPrintable(lines));
    // The demo program ended with its link; a client of this user's relays
    // through the reopened port.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, FBridgePort);
    QVERIFY(client.waitForConnected(StepTimeoutMs));
    const QByteArray again = "relayed again";
    client.write(again);
    QByteArray echoed;
    QTRY_VERIFY_WITH_TIMEOUT((echoed += client.readAll()) == again, StepTimeoutMs);
    client.close();

    // "Отключить": the copy is deleted and no process of it is left.
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(copy), StepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(PrefixProcessesNaming(CopyName).isEmpty(), StepTimeoutMs);

    // Connected again, then the session ends (a logoff): the window closes
    // as its close button would, the setup program goes, and the settings are
    // in the registry.
    QFile::remove(FResult);
    QTest::qWait(PastDoubleClickMs);
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY2_WITH_TIMEOUT(ReadFile(FResult) == "ok 65536\n", qPrintable(output()), WineStartTimeoutMs);
    QVERIFY(Wine(FDisplay, {QStringLiteral("wineboot"), QStringLiteral("--end-session")}));
    // Windows may end a program once it has answered the end of the session:
    // what counts is what its close did before.
    QVERIFY2(wizard->hasEnded(WineStartTimeoutMs), qPrintable(output()));
    QTRY_VERIFY_WITH_TIMEOUT(PrefixProcessesNaming(CopyName).isEmpty(), StepTimeoutMs);
    QVERIFY(!QFile::exists(copy));
    QCOMPARE(StoredValue(FDisplay, QStringLiteral("COM")), Port);
    QCOMPARE(StoredValue(FDisplay, QStringLiteral("CHANNEL")), QStringLiteral("0x1"));
  }

};

QTEST_GUILESS_MAIN(TestE2EWindows)
#include "test_e2e_windows.moc"
