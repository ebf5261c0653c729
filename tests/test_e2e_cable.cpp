// A cable connection through the real program, against the simulated device
// and the setup probe: relay both ways, replug, disconnect, silent device,
// hasty clicks on connect, a window that answers while it waits, closing the
// window while connected and ending the program by a signal.

#include "E2ETest.h"
#include "SimProcess.h"

#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {

// A setup program started through a wrapper script that stays its parent,
// as a launcher script or an emulator does.
const QByteArray WrapperSetupIni = "DEMO=wrapper\r\n";
const QByteArray Wrapper = "#!/bin/sh\n./setupprobe\n";
// A setup program that ignores SIGTERM, so that only the kill after the
// grace ends it.
const QByteArray StubbornSetupIni = "DEMO=stubborn\r\n";
const QByteArray Stubborn = "#!/bin/sh\ntrap '' TERM\nexec ./setupprobe\n";
// Longer than the desktop's double-click interval (400 ms by default).
constexpr int DoubleClickPauseMs = 600;

// The simulated device, the program's folder with the cable and the device's
// port stored (and a wrapper script beside the probe), and the program
// started there.
struct TCableRig {
  TCableRig(const TXSession &display, const QStringList &deviceArgs = {},
            const QByteArray &setupIni = TTandrelFolder::DefaultSetupIni)
      : device(TSimProcess::TKind::Device, deviceArgs), folder(setupIni),
        stored(folder.writeSettings(device.linkPath(), 1) && folder.addProgram(QStringLiteral("wrapper"), Wrapper) &&
               folder.addProgram(QStringLiteral("stubborn"), Stubborn)),
        program(folder, display, device.linkPath()) {}
  QString Problem() const {
    if (!device.isReady())
      return device.errorString();
    return folder.isValid() && stored ? QString() : folder.errorString() + QStringLiteral(" (settings not written)");
  }

  TSimProcess device;
  TTandrelFolder folder;
  bool stored;
  TTandrelProcess program;
  QString window;
};

} // namespace

class TestE2ECable : public TE2ETest {
  Q_OBJECT

private slots:
  void relaysBothWaysAcrossAReplugUntilDisconnected() {
    // The line comes at the kernel's defaults, as a freshly plugged adapter.
    TCableRig rig(FDisplay, {QStringLiteral("--tty"), QStringLiteral("default")});
    if (!connectCable(rig))
      return;
    TSetupProbe &probe = rig.folder.probe();
    QCOMPARE(probe.executable(), rig.folder.setupCopyPath());

    // Echo: every byte value the probe sends comes back unchanged, XON and
    // XOFF included.
    QByteArray chunk;
    for (int value = 0; value < 256; ++value)
      chunk.append(char(value));
    QVERIFY(probe.send(chunk));
    QTRY_COMPARE_WITH_TIMEOUT(probe.received(), chunk, StepTimeoutMs);
    QCOMPARE(probe.sent(), chunk);
    QVERIFY(rig.device.receivedBytes().endsWith(chunk));

    QCOMPARE(rig.device.command(QStringLiteral("unplug 1500")), QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.isConnected(), StepTimeoutMs); // the server stopped
    QTRY_VERIFY2_WITH_TIMEOUT(probe.connectionCount() >= 2 && probe.isConnected(),
                              probe.events() + rig.program.output().toLocal8Bit(), StepTimeoutMs);
    // Each direction on its own: whether the replugged device echoes depends
    // on whether it has been identified again.
    QVERIFY(probe.send("after replug\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.device.receivedBytes().endsWith("after replug\r\n"), StepTimeoutMs);
    QCOMPARE(rig.device.command(QStringLiteral("send from device\\x11\\x13\\x00\\r\\n")), QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(probe.received().endsWith(QByteArray("from device\x11\x13\x00\r\n", 16)), StepTimeoutMs);

    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.exists(), StepTimeoutMs); // killed and reaped
    QVERIFY(!QFile::exists(rig.folder.setupCopyPath()));
    QVERIFY(rig.program.isRunning());
    QVERIFY(rig.program.children().isEmpty());
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
    QVERIFY(!rig.folder.probe().exists());
  }

  // A device that cannot send while the wizard does not read (a USB device)
  // echoes a megabyte that the setup program sends in one go.
  void blockingEchoGivesBackAMebibyteOnOneConnection() {
    TCableRig rig(FDisplay, {QStringLiteral("--flow"), QStringLiteral("blocking")});
    if (!connectCable(rig))
      return;
    TSetupProbe &probe = rig.folder.probe();
    QByteArray upload(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < upload.size(); ++i)
      upload[i] = char((i * 7919) >> 3);
    QVERIFY(probe.send(upload));
    QTRY_VERIFY2_WITH_TIMEOUT(probe.received().size() >= upload.size(), probe.events(), 60000);
    QVERIFY(probe.received() == upload);
    QCOMPARE(probe.connectionCount(), 1);
    QVERIFY(probe.isConnected());
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
  }

  void silentDeviceEndsTheAttemptWithAnError() {
    TCableRig rig(FDisplay, {QStringLiteral("--silent"), QStringLiteral("on")});
    QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
    rig.window = mainWindow(rig.folder);
    QVERIFY2(!rig.window.isEmpty(), qPrintable(rig.program.output()));
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));

    const QString error = FDisplay.findWindow(QStringLiteral("Ошибка"), WindowTimeoutMs);
    QVERIFY2(!error.isEmpty(), qPrintable(rig.program.output()));
    QVERIFY(rig.device.receivedBytes().contains("+VER_INFO=?\r\n"));
    QVERIFY(FDisplay.key(error, QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!FDisplay.hasWindow(QStringLiteral("Ошибка")), StepTimeoutMs);
    // No setup program and no server: a probe started by hand finds nobody.
    QCOMPARE(rig.folder.probe().pid(), -1);
    QVERIFY(!QFile::exists(rig.folder.setupCopyPath()));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, rig.folder.serverPort());
    QVERIFY(!client.waitForConnected(2000));
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
    QVERIFY(!rig.folder.probe().exists());
  }

  // The second click of a double click must not disconnect what the first one
  // connected.
  void doubleClickConnectsOnce() {
    TCableRig rig(FDisplay);
    QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
    rig.window = mainWindow(rig.folder);
    QVERIFY2(!rig.window.isEmpty(), qPrintable(rig.program.output()));
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY, 2, 80));
    TSetupProbe &probe = rig.folder.probe();
    QTRY_VERIFY2_WITH_TIMEOUT(probe.isConnected(), qPrintable(rig.program.output()), StepTimeoutMs);
    // Relay passes have run since the clicks were delivered.
    QVERIFY(probe.send("still here\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(probe.received(), QByteArray("still here\r\n"), StepTimeoutMs);
    QVERIFY(probe.isConnected());
    QCOMPARE(probe.connectionCount(), 1);
    QVERIFY(probe.exists());
    QCOMPARE(rig.device.receivedBytes().count("+VER_INFO=?\r\n"), 1);
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
  }

  // While a silent device is asked who it is, the window answers its hot keys,
  // and a click on "Отмена подключения" ends the attempt at once: no box
  // comes when the identification's time is up, and the port is free for the
  // next attempt.
  void silentDeviceLeavesTheWindowAnsweringAndCancelEndsTheAttempt() {
    TCableRig rig(FDisplay, {QStringLiteral("--silent"), QStringLiteral("on")});
    QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
    rig.window = mainWindow(rig.folder);
    QVERIFY2(!rig.window.isEmpty(), qPrintable(rig.program.output()));
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QElapsedTimer sinceClick;
    sinceClick.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.device.receivedBytes().contains("+VER_INFO=?\r\n"), StepTimeoutMs);

    QVERIFY(FDisplay.key(rig.window, QStringLiteral("ctrl+alt+l")));
    const QString log = FDisplay.findWindow(QStringLiteral("Данные"), StepTimeoutMs);
    QVERIFY2(!log.isEmpty(), qPrintable(rig.program.output()));
    // Opened while the identification still waits, not after it.
    QVERIFY(!FDisplay.hasWindow(QStringLiteral("Ошибка")));
    QVERIFY(FDisplay.closeWindow(log)); // it may cover the connect label

    QTest::qWait(DoubleClickPauseMs);
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    // The identification would have given up 10 s after the click.
    constexpr qint64 IdentificationMs = 10000;
    while (sinceClick.elapsed() < IdentificationMs + 2000) {
      QVERIFY2(!FDisplay.hasWindow(QStringLiteral("Ошибка")), qPrintable(rig.program.output()));
      QTest::qWait(250);
    }
    QCOMPARE(rig.folder.probe().pid(), -1);

    // The next attempt, with the device answering, gets the port and connects.
    QCOMPARE(rig.device.command(QStringLiteral("silent off")), QStringLiteral("OK"));
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY2_WITH_TIMEOUT(rig.folder.probe().isConnected(), qPrintable(rig.program.output()), StepTimeoutMs);
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
    QVERIFY(!rig.folder.probe().exists());
  }

  // The setup program's grace before the kill runs while the window goes on:
  // a hot key pressed right after "Отключить" opens its window while the
  // stubborn program still runs.
  void disconnectFromAStubbornSetupProgramLeavesTheWindowAnswering() {
    TCableRig rig(FDisplay, {}, StubbornSetupIni);
    if (!connectCable(rig))
      return;
    TSetupProbe &probe = rig.folder.probe();
    const QString copy = rig.folder.setupCopyPath(QStringLiteral("stubborn"));
    QVERIFY(QFile::exists(copy));

    // Past the double-click interval since the connecting click, or this one
    // would be its second half.
    QTest::qWait(DoubleClickPauseMs);
    QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QVERIFY(FDisplay.key(rig.window, QStringLiteral("ctrl+alt+l")));
    QVERIFY2(!FDisplay.findWindow(QStringLiteral("Данные"), StepTimeoutMs).isEmpty(), qPrintable(rig.program.output()));
    QVERIFY2(probe.exists(), "the window waited for the kill");
    QTRY_VERIFY2_WITH_TIMEOUT(!probe.exists(), qPrintable(rig.program.output()), StepTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(copy), StepTimeoutMs);
    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
  }

  void closingWhileConnectedEndsEverythingAndSavesTheChoice() {
    TCableRig rig(FDisplay);
    if (!connectCable(rig))
      return;
    // Whatever the file holds after the close was written at the close.
    QVERIFY(QFile::remove(rig.folder.settingsFile()));

    QVERIFY2(closeAndExitCleanly(rig.program, rig.window), qPrintable(rig.program.output()));
    QVERIFY(!rig.folder.probe().exists());
    QVERIFY(!QFile::exists(rig.folder.setupCopyPath()));
    const QString settings = rig.folder.settingsText();
    QVERIFY2(settings.contains(QStringLiteral("\"COM\"=\"%1\"").arg(rig.device.linkPath())), qPrintable(settings));
    QVERIFY2(settings.contains(QStringLiteral("\"CHANNEL\"=dword:00000001")), qPrintable(settings));
  }

  // A logout or a kill ends the program as closing its window does, and the
  // setup program's whole process group with it.
  void terminationEndsTheSetupProgramsGroupAndSavesTheChoice() {
    TCableRig rig(FDisplay, {}, WrapperSetupIni);
    if (!connectCable(rig))
      return;
    TSetupProbe &probe = rig.folder.probe();
    const qint64 group = probe.processGroup();
    QVERIFY(group > 0);
    QVERIFY(group != ::getpgid(pid_t(rig.program.pid())));
    QVERIFY2(LiveProcessesOfGroup(group).size() == 2, "the wrapper and the probe");
    const QString copy = rig.folder.setupCopyPath(QStringLiteral("wrapper"));
    QVERIFY(QFile::exists(copy));
    // Whatever the file holds after the end was written at the end.
    QVERIFY(QFile::remove(rig.folder.settingsFile()));

    QCOMPARE(::kill(pid_t(rig.program.pid()), SIGTERM), 0);
    QVERIFY2(rig.program.waitForExit(ExitTimeoutMs), qPrintable(rig.program.output()));
    QVERIFY2(rig.program.exitedWithSuccess(), qPrintable(rig.program.output()));
    QTRY_COMPARE_WITH_TIMEOUT(LiveProcessesOfGroup(group), QList<qint64>(), StepTimeoutMs);
    QVERIFY(!QFile::exists(copy));
    const QString settings = rig.folder.settingsText();
    QVERIFY2(settings.contains(QStringLiteral("\"COM\"=\"%1\"").arg(rig.device.linkPath())), qPrintable(settings));
    QVERIFY2(settings.contains(QStringLiteral("\"CHANNEL\"=dword:00000001")), qPrintable(settings));
  }

private:
  // Clicks connect in the started program and waits until the device has
  // been asked to identify itself and the probe is connected.
  bool connectCable(TCableRig &rig) {
    [&] {
      QVERIFY2(rig.Problem().isEmpty(), qPrintable(rig.Problem()));
      rig.window = mainWindow(rig.folder);
      QVERIFY2(!rig.window.isEmpty(), qPrintable(rig.program.output()));
      QVERIFY(FDisplay.click(rig.window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
      QTRY_VERIFY_WITH_TIMEOUT(rig.device.receivedBytes().startsWith("+VER_INFO=?\r\n"), StepTimeoutMs);
      QTRY_VERIFY2_WITH_TIMEOUT(rig.folder.probe().isConnected(), qPrintable(rig.program.output()), StepTimeoutMs);
    }();
    return !QTest::currentTestFailed();
  }
};

QTEST_GUILESS_MAIN(TestE2ECable)
#include "test_e2e_cable.moc"
