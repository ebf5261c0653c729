// A modem connection through the real program, against the simulated modem
// and the setup probe: dial, relay, user disconnect, and a restart that
// brings back the port, the connection type and the number dialled.

#include "E2ETest.h"
#include "SimProcess.h"

#include <QtTest>

namespace {

constexpr int DialTimeoutMs = 90000; // the dialer drains the line for 15 s of real time
// Inside the phone-number box.
constexpr int PhoneX = 200;
constexpr int PhoneY = 72;
const QByteArray Number = "+79001234567";

} // namespace

class TestE2EModem : public TE2ETest {
  Q_OBJECT

private slots:
  void dialsRelaysHangsUpAndRemembersTheNumber() {
    TSimProcess modem(TSimProcess::TKind::Modem);
    QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    QVERIFY(folder.writeSettings(modem.linkPath(), 0));

    {
      TTandrelProcess program(folder, FDisplay, modem.linkPath());
      const QString window = mainWindow(folder);
      QVERIFY2(!window.isEmpty(), qPrintable(program.output()));
      QVERIFY(FDisplay.click(window, PhoneX, PhoneY));
      QVERIFY(FDisplay.type(window, QString::fromLatin1(Number)));
      connectAndDisconnect(window, modem, folder, program, 1);
      if (QTest::currentTestFailed())
        return;
      const QByteArray dialogue = modem.receivedBytes();
      QVERIFY2(dialogue.contains("ATZ") && dialogue.contains("AT+CBST=7,0,1"), dialogue.constData());
      QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
      const QString settings = folder.settingsText();
      QVERIFY2(settings.contains(QStringLiteral("\"phone1\"=\"%1\"").arg(QLatin1String(Number))),
               qPrintable(settings));
      QVERIFY2(settings.contains(QStringLiteral("\"CHANNEL\"=dword:00000000")), qPrintable(settings));
    }

    // The restored port and type make a connect dial the modem; the number
    // comes from the restored history: the box starts empty, and typing its
    // first digits completes it from the history's items.
    TTandrelProcess program(folder, FDisplay, modem.linkPath());
    const QString window = mainWindow(folder);
    QVERIFY2(!window.isEmpty(), qPrintable(program.output()));
    QVERIFY(FDisplay.click(window, PhoneX, PhoneY));
    QVERIFY(FDisplay.type(window, QString::fromLatin1(Number.left(4))));
    connectAndDisconnect(window, modem, folder, program, 2);
    if (QTest::currentTestFailed())
      return;
    QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
  }

private:
  // The `dial`th dial of the number: through to relayed data, then the
  // user's disconnect and its hang-up.
  void connectAndDisconnect(const QString &window, TSimProcess &modem, TTandrelFolder &folder,
                            TTandrelProcess &program, int dial) {
    TSetupProbe &probe = folder.probe();
    const int connectionsBefore = probe.connectionCount();
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY2_WITH_TIMEOUT(modem.receivedBytes().count("ATD" + Number + "\r") == dial,
                              modem.receivedBytes().constData(), DialTimeoutMs);
    QTRY_VERIFY2_WITH_TIMEOUT(probe.connectionCount() > connectionsBefore && probe.isConnected(),
                              qPrintable(program.output()), DialTimeoutMs);
    QCOMPARE(probe.executable(), folder.setupCopyPath());

    // The modem's far end echoes.
    const QByteArray chunk = "over the air " + QByteArray::number(dial) + "\r\n";
    const QByteArray before = probe.received();
    QVERIFY(probe.send(chunk));
    QTRY_COMPARE_WITH_TIMEOUT(probe.received(), before + chunk, StepTimeoutMs);

    const qsizetype disconnectAt = modem.receivedBytes().size();
    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(!probe.exists(), StepTimeoutMs);
    QVERIFY(!QFile::exists(folder.setupCopyPath()));
    const QByteArray hangUp = modem.receivedBytes().mid(disconnectAt);
    const qsizetype escape = hangUp.indexOf("+++");
    QVERIFY2(escape >= 0 && hangUp.indexOf("ATH\r", escape) > escape, hangUp.constData());
  }
};

QTEST_GUILESS_MAIN(TestE2EModem)
#include "test_e2e_modem.moc"
