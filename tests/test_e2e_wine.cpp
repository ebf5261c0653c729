// A Windows setup program (tools/windemosetup, built by the mingw cross
// build) through the real program under wine: started, connected, 64 KiB
// echoed by the simulated device, and gone after "Отключить"; and the box
// when wine is missing. Runs in the wine stage (label "wine"): CTest makes a
// private wine prefix for it and ends that prefix's wine server afterwards.

#include "E2ETest.h"
#include "SimProcess.h"
#include "TestFiles.h"
#include "WinDemoEcho.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <optional>

namespace {

// wine's start of a program and its first connection.
constexpr int WineStartTimeoutMs = 120000;
// A second click on the label sooner than this is a double click, which the
// wizard ignores (as the hasty-clicks test of the cable checks).
constexpr int PastDoubleClickMs = 700;
constexpr int BoxSettleMs = 500;
const QString Program = QStringLiteral("windemosetup");

// What the Windows program sends in its echo mode.
// The simulated device in echo mode, and the program's folder with the
// Windows program as the device's setup program.
struct TWineRig {
  // `withoutWine`: TANDREL_WINE names a file that is not there.
  explicit TWineRig(const TXSession &display, bool withoutWine = false)
      : device(TSimProcess::TKind::Device, {}), folder("DEMO=" + Program.toUtf8() + "\r\n"),
        copy(folder.setupCopyPath(Program)), result(folder.path(QStringLiteral("result.txt"))) {
    const QByteArray exe = ReadFile(qEnvironmentVariable("TANDREL_WINDEMOSETUP"));
    stored = !exe.isEmpty() && folder.addProgram(Program, exe) && folder.writeSettings(device.linkPath(), 1);
    folder.addEnvironment(QStringLiteral("DEMOSETUP_PORT"), QString::number(folder.serverPort()));
    folder.addEnvironment(QStringLiteral("DEMOSETUP_ECHO"), QString::number(WinDemoEchoSize));
    folder.addEnvironment(QStringLiteral("DEMOSETUP_RESULT"), QStringLiteral("Z:") + result);
    if (withoutWine)
      folder.addEnvironment(QStringLiteral("TANDREL_WINE"), folder.path(QStringLiteral("no-wine-here")));
    program.emplace(folder, display, device.linkPath());
  }
  // A failed test leaves no Windows process of ours behind.
  ~TWineRig() {
    for (const qint64 pid : LiveProcessesNaming(copy))
      ::kill(pid_t(pid), SIGKILL);
  }
  QString Problem() const {
    if (!device.isReady())
      return device.errorString();
    if (!stored)
      return QStringLiteral("no Windows demo setup program at TANDREL_WINDEMOSETUP=\"%1\" (built by scripts/test-windows.sh)")
          .arg(qEnvironmentVariable("TANDREL_WINDEMOSETUP"));
    return folder.isValid() ? QString() : folder.errorString();
  }

  TSimProcess device;
  TTandrelFolder folder;
  QString copy;
  QString result;
  bool stored = false;
  std::optional<TTandrelProcess> program;
};

// For failure messages: each process with its state line and command line.
QByteArray Described(const QList<qint64> &pids) {
  QByteArray text;
  for (const qint64 pid : pids)
    text += ReadFile(QStringLiteral("/proc/%1/stat").arg(pid)).left(80) + " | " +
            ReadFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).replace('\0', ' ') + '\n';
  return text;
}

} // namespace

class TestE2EWine : public TE2ETest {
  Q_OBJECT

private slots:
  void windowsSetupProgramEchoesThroughWineAndIsGoneAfterDisconnect() {
    TWineRig rig(FDisplay);
    QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
    const QString window = mainWindow(rig.folder);
    QVERIFY2(!window.isEmpty(), qPrintable(rig.program->output()));
    QElapsedTimer sinceClick;
    sinceClick.start();
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(rig.device.receivedBytes().startsWith("+VER_INFO=?\r\n"), StepTimeoutMs);

    // The Windows program checks the echo itself; the device saw the same bytes.
    QTRY_VERIFY2_WITH_TIMEOUT(!ReadFile(rig.result).isEmpty(), qPrintable(rig.program->output()),
                              WineStartTimeoutMs);
    qInfo("under wine: connected and 64 KiB echoed %lld ms after the click", sinceClick.elapsed());
    QCOMPARE(ReadFile(rig.result), QByteArray("ok 65536\n"));
    QVERIFY(rig.device.receivedBytes() == "+VER_INFO=?\r\n" + WinDemoEchoPattern());
    QVERIFY(QFile::exists(rig.copy));
    QVERIFY2(!LiveProcessesNaming(rig.copy).isEmpty(), "the Windows process runs the copy");

    // A warm prefix may have done all this within the double-click interval.
    QTest::qWait(int(qMax<qint64>(0, PastDoubleClickMs - sinceClick.elapsed())));
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY2_WITH_TIMEOUT(LiveProcessesNaming(rig.copy).isEmpty(),
                              Described(LiveProcessesNaming(rig.copy)) + rig.program->output().toLocal8Bit(),
                              StepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(rig.copy), StepTimeoutMs);
    QVERIFY(rig.program->isRunning());
    QVERIFY2(closeAndExitCleanly(*rig.program, window), qPrintable(rig.program->output()));
  }

  void missingWineShowsTheBoxAndTheAttemptEnds() {
    TWineRig rig(FDisplay, true);
    QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
    const QString window = mainWindow(rig.folder);
    QVERIFY2(!window.isEmpty(), qPrintable(rig.program->output()));
    // Each attempt ends with the box, and the next click starts afresh from
    // "Нет подключения": the port was closed and the label is "Подключить".
    for (int attempt = 1; attempt <= 2; ++attempt) {
      QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
      QTRY_COMPARE_WITH_TIMEOUT(rig.device.receivedBytes().count("+VER_INFO=?\r\n"), attempt, StepTimeoutMs);
      // A box that opens at once after the click has been seen to close by
      // itself when the display is searched within about 100 ms (also the
      // box of an unlisted device): no search until it has settled.
      QTest::qWait(BoxSettleMs);
      const QString error = FDisplay.findWindow(QStringLiteral("Ошибка"), WindowTimeoutMs);
      QVERIFY2(!error.isEmpty(), qPrintable(rig.program->output()));
      QVERIFY(FDisplay.key(error, QStringLiteral("Return")));
      QTRY_VERIFY_WITH_TIMEOUT(!FDisplay.hasWindow(QStringLiteral("Ошибка")), StepTimeoutMs);
      QVERIFY(!QFile::exists(rig.copy));
      QVERIFY(rig.program->children().isEmpty());
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, rig.folder.serverPort());
    QVERIFY(!client.waitForConnected(2000));
    QVERIFY2(closeAndExitCleanly(*rig.program, window), qPrintable(rig.program->output()));
  }
};

QTEST_GUILESS_MAIN(TestE2EWine)
#include "test_e2e_wine.moc"
