// A cable connection through the real program, against the simulated device
// and the setup probe: relay both ways, replug, disconnect, silent device and
// closing the window while connected.

#include "E2ETest.h"
#include "SimProcess.h"

#include <QTcpSocket>
#include <QtTest>

class TestE2ECable : public TE2ETest {
  Q_OBJECT

private slots:
  void relaysBothWaysAcrossAReplugUntilDisconnected() {
    TSimProcess device(TSimProcess::TKind::Device);
    QVERIFY2(device.isReady(), qPrintable(device.errorString()));
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    QVERIFY(folder.writeSettings(device.linkPath(), 1));
    TTandrelProcess program(folder, FDisplay, device.linkPath());
    QString window;
    connectCable(folder, device, program, &window);
    if (QTest::currentTestFailed())
      return;
    TSetupProbe &probe = folder.probe();
    QCOMPARE(probe.executable(), folder.setupCopyPath());

    // Echo: every byte the probe sends comes back unchanged, binary included.
    const QByteArray chunk("first \x00\xff\x7f chunk\r\n", 17);
    QVERIFY(probe.send(chunk));
    QTRY_COMPARE_WITH_TIMEOUT(probe.received(), chunk, StepTimeoutMs);
    QCOMPARE(probe.sent(), chunk);
    QVERIFY(device.receivedBytes().endsWith(chunk));

    QCOMPARE(device.command(QStringLiteral("unplug 1500")), QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.isConnected(), StepTimeoutMs); // the server stopped
    QTRY_VERIFY2_WITH_TIMEOUT(probe.connectionCount() >= 2 && probe.isConnected(),
                              probe.events() + program.output().toLocal8Bit(), StepTimeoutMs);
    // Each direction on its own: whether the replugged device echoes depends
    // on whether it has been identified again.
    QVERIFY(probe.send("after replug\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(device.receivedBytes().endsWith("after replug\r\n"), StepTimeoutMs);
    QCOMPARE(device.command(QStringLiteral("send from device\\x00\\r\\n")), QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(probe.received().endsWith(QByteArray("from device\x00\r\n", 14)), StepTimeoutMs);

    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.exists(), StepTimeoutMs); // killed and reaped
    QVERIFY(!QFile::exists(folder.setupCopyPath()));
    QVERIFY(program.isRunning());
    QVERIFY(program.children().isEmpty());
    QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
    QVERIFY(!folder.probe().exists());
  }

  void silentDeviceEndsTheAttemptWithAnError() {
    TSimProcess device(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")});
    QVERIFY2(device.isReady(), qPrintable(device.errorString()));
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    QVERIFY(folder.writeSettings(device.linkPath(), 1));
    TTandrelProcess program(folder, FDisplay, device.linkPath());
    const QString window = mainWindow();
    QVERIFY2(!window.isEmpty(), qPrintable(program.output()));
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));

    const QString error = FDisplay.findWindow(QStringLiteral("Ошибка"), WindowTimeoutMs);
    QVERIFY2(!error.isEmpty(), qPrintable(program.output()));
    QVERIFY(device.receivedBytes().contains("+VER_INFO=?\r\n"));
    QVERIFY(FDisplay.key(error, QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!FDisplay.hasWindow(QStringLiteral("Ошибка")), StepTimeoutMs);
    // No setup program and no server: a probe started by hand finds nobody.
    QCOMPARE(folder.probe().pid(), -1);
    QVERIFY(!QFile::exists(folder.setupCopyPath()));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, 53462);
    QVERIFY(!client.waitForConnected(2000));
    QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
    QVERIFY(!folder.probe().exists());
  }

  void closingWhileConnectedEndsEverythingAndSavesTheChoice() {
    TSimProcess device(TSimProcess::TKind::Device);
    QVERIFY2(device.isReady(), qPrintable(device.errorString()));
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    QVERIFY(folder.writeSettings(device.linkPath(), 1));
    TTandrelProcess program(folder, FDisplay, device.linkPath());
    QString window;
    connectCable(folder, device, program, &window);
    if (QTest::currentTestFailed())
      return;
    // Whatever the file holds after the close was written at the close.
    QVERIFY(QFile::remove(folder.settingsFile()));

    QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
    QVERIFY(!folder.probe().exists());
    QVERIFY(!QFile::exists(folder.setupCopyPath()));
    const QString settings = folder.settingsText();
    QVERIFY2(settings.contains(QStringLiteral("\"COM\"=\"%1\"").arg(device.linkPath())), qPrintable(settings));
    QVERIFY2(settings.contains(QStringLiteral("\"CHANNEL\"=dword:00000001")), qPrintable(settings));
  }

private:
  // Clicks connect in the started program and waits until the device has
  // been asked to identify itself and the probe is connected.
  void connectCable(TTandrelFolder &folder, TSimProcess &device, TTandrelProcess &program, QString *window) {
    *window = mainWindow();
    QVERIFY2(!window->isEmpty(), qPrintable(program.output()));
    QVERIFY(FDisplay.click(*window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(device.receivedBytes().startsWith("+VER_INFO=?\r\n"), StepTimeoutMs);
    QTRY_VERIFY2_WITH_TIMEOUT(folder.probe().isConnected(), qPrintable(program.output()), StepTimeoutMs);
  }
};

QTEST_GUILESS_MAIN(TestE2ECable)
#include "test_e2e_cable.moc"
