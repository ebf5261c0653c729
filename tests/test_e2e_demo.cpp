// The demo as a new user meets it: scripts/run.sh with a fresh home, one click
// on the connect label, and the demo setup program talking to the simulated
// device through the wizard.

#include "BridgeTestSupport.h"
#include "E2ETest.h"
#include "TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int StopTimeoutMs = 10000;

// One run of scripts/run.sh on the programs this test suite built, in a
// process group of its own so that everything it starts can be ended with it.
class TDemoScript {
public:
  explicit TDemoScript(const TXSession &display) {
    const QDir dir(FDir.path());
    if (!FDir.isValid() || !dir.mkdir("home") ||
        !dir.mkdir("runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
      return;
    QProcessEnvironment environment = ProgramEnvironment(display, FDir.path());
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS", "TANDREL_EXTRA_PORTS"})
      environment.remove(QString::fromLatin1(name));
    environment.insert("HOME", HomeDir());
    environment.insert("XDG_RUNTIME_DIR", FDir.filePath("runtime"));
    environment.insert("TANDREL_BUILD_DIR", QFileInfo(QStringLiteral(TANDREL_BIN)).path());
    environment.insert("DEMOSETUP_TRANSCRIPT", TranscriptPath());
    environment.insert("DEMOSETUP_PORT", QString::number(FServerPort));
    FProcess.setProcessEnvironment(environment);
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.setStandardOutputFile(FDir.filePath("output.log"));
    // Should the test die, the script still runs its own cleanup.
    FProcess.setChildProcessModifier([] {
      setsid();
      prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    FProcess.start("bash", {QStringLiteral(TANDREL_SOURCE_DIR "/scripts/run.sh")});
    if (FProcess.waitForStarted(StopTimeoutMs))
      FGroup = static_cast<pid_t>(FProcess.processId());
  }

  // Ends the whole group: the script cleans up after a SIGTERM, whatever
  // outlives it is killed.
  ~TDemoScript() {
    if (FProcess.state() != QProcess::NotRunning) {
      ::kill(-static_cast<pid_t>(FProcess.processId()), SIGTERM);
      FProcess.waitForFinished(StopTimeoutMs);
    }
    if (FGroup > 0)
      ::kill(-FGroup, SIGKILL);
  }

  bool isStarted() const { return FGroup > 0; }
  bool waitForExit(int timeoutMs) {
    return FProcess.state() == QProcess::NotRunning || FProcess.waitForFinished(timeoutMs);
  }
  bool exitedWithSuccess() const {
    return FProcess.state() == QProcess::NotRunning && FProcess.exitStatus() == QProcess::NormalExit &&
           FProcess.exitCode() == 0;
  }
  // No process of the script's group is left, zombies included.
  bool groupIsGone() const { return ::kill(-FGroup, 0) == -1 && errno == ESRCH; }

  quint16 serverPort() const { return FServerPort; }
  QString HomeDir() const { return FDir.filePath("home"); }
  QString DemoDir() const { return FDir.filePath("runtime/tandrel-demo-") + QString::number(getuid()); }
  QString TranscriptPath() const { return FDir.filePath("transcript"); }
  QByteArray transcript() const { return ReadFile(TranscriptPath()); }
  QString output() const { return QString::fromLocal8Bit(ReadFile(FDir.filePath("output.log"))); }

private:
  QTemporaryDir FDir{QDir::tempPath() + "/tandrel-demo-e2e-XXXXXX"};
  // The bridge's port, set in the wizard's TCP settings dialog, so that the
  // demo runs beside a wizard on the default port.
  quint16 FServerPort = FreeTcpPort();
  QProcess FProcess;
  pid_t FGroup = -1;
};

} // namespace

class TestE2EDemo : public TE2ETest {
  Q_OBJECT

private slots:
  void oneClickConnectsTheDemoSetupProgramToTheDevice() {
    TDemoScript demo(FDisplay);
    QVERIFY(demo.isStarted());
    const QString window = mainWindow(demo.serverPort());
    QVERIFY2(!window.isEmpty(), qPrintable(demo.output()));
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));

    const QString setup = FDisplay.findWindow(QStringLiteral("Демо-программа настройки"), WindowTimeoutMs);
    QVERIFY2(!setup.isEmpty(), qPrintable(demo.output()));
    QTRY_VERIFY2_WITH_TIMEOUT(demo.transcript().startsWith("connected\n"), qPrintable(demo.output()),
                              StepTimeoutMs);
    QVERIFY(FDisplay.type(setup, QStringLiteral("PING")));
    QVERIFY(FDisplay.key(setup, QStringLiteral("Return")));
    QTRY_VERIFY2_WITH_TIMEOUT(demo.transcript().endsWith("PONG\r\n"), demo.transcript().constData(), StepTimeoutMs);

    QVERIFY(FDisplay.closeWindow(window));
    QVERIFY2(demo.waitForExit(ExitTimeoutMs) && demo.exitedWithSuccess(), qPrintable(demo.output()));
    QTRY_VERIFY_WITH_TIMEOUT(demo.groupIsGone(), StepTimeoutMs);
    QVERIFY(!QFileInfo::exists(demo.DemoDir()));
    // The demo's settings lived in its own folder, never in the user's.
    QVERIFY(!QFileInfo::exists(demo.HomeDir() + "/.config/Korvel"));
  }
};

QTEST_GUILESS_MAIN(TestE2EDemo)
#include "test_e2e_demo.moc"
