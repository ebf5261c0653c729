// Modem connections through the session, without any window, against the
// simulated GSM modem in fast virtual time: the dial's progress and failures,
// the cancel, a hang-up and the reconnect, a lost port, the phone history.
#include "BridgeTestSupport.h"
#include "SessionFixture.h"
#include "core/PhoneHistory.h"
#include "core/RegStore.h"
#include "serial/RingThread.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

namespace {

constexpr uint32_t kSpeedup = 50;

bool ProcessAlive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

bool PortIsFree(const QString &path) {
  TCOMHandle probe = INVALID_HANDLE_VALUE;
  const bool opened = OpenCOM(path.toStdString(), 19200, probe);
  CloseCOM(probe);
  return opened;
}

bool Echoes(QTcpSocket &client, const QByteArray &bytes) {
  client.write(bytes);
  return ReadExactly(client, bytes.size(), 10000) == bytes;
}

} // namespace

class TestSessionModem : public QObject {
  Q_OBJECT

private slots:
  void dialFailureShowsItsText_data();
  void dialFailureShowsItsText();
  void cancelDuringTheDialEndsAtOnceAndTheDialerLetsThePortGo();
  void storeErrorIsReportedAndNoDialIsShown();
  void modemConnectionHangupReconnectAndDisconnect();
  void resultCodeWithinDataIsAHangup();
  void modemPortLossEndsTheConnectionAndKeepsTheSetupProgram();
  void takenServerPortHangsUpTheCall();
};

void TestSessionModem::dialFailureShowsItsText_data() {
  QTest::addColumn<QString>("outcome");
  QTest::addColumn<QString>("text");
  QTest::newRow("busy") << "BUSY" << "Номер занят";
  QTest::newRow("no carrier") << "NO CARRIER" << "Не могу дозвониться";
}

void TestSessionModem::dialFailureShowsItsText() {
  QFETCH(QString, outcome);
  QFETCH(QString, text);
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--dial"), outcome}, clock);
  TSession &session = modem.session;
  QList<int> stages;
  QStringList history;
  QObject::connect(&session, &TSession::PhoneHistoryChanged, [&](const QStringList &numbers) { history = numbers; });
  modem.Click();
  QCOMPARE(session.State(), csConnecting);
  QVERIFY(!session.Inputs().type && !session.Inputs().port && !session.Inputs().phone && !session.Inputs().refresh);
  QVERIFY(session.ModemConnect());
  // The number was stored before dialling and is offered from now on.
  QCOMPARE(history, QStringList{QStringLiteral("+7 900 123")});
  // Nothing changes the status before the dialer's first stage.
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QSignalSpy statuses(&session, &TSession::StatusChanged);
  QVERIFY(WaitUntil([&] { return session.State() == csIdle; }, 30000));
  QStringList shown;
  for (const QList<QVariant> &arguments : statuses)
    shown.append(arguments.at(0).toString());
  // Each stage's text comes, however quickly the next one follows.
  QVERIFY2(shown.contains(QStringLiteral("Набор номера")), qPrintable(shown.join('|')));
  QCOMPARE(session.StatusText(), text);
  QVERIFY(session.StatusIsError());
  QCOMPARE(session.EndReason(), TEndReason::DialFailed);
  QCOMPARE(session.Inputs(), (TInputs{true, true, true, true}));
  QVERIFY(modem.LogHas(QStringLiteral("<< ATD+7900123")));
  QVERIFY(WaitUntil([&] { return PortIsFree(modem.device.linkPath()); }));
}

// The cancel no longer waits for the dialer: the window is back at once, and
// the dialer, stopped in its pause, gives the port back by itself.
void TestSessionModem::cancelDuringTheDialEndsAtOnceAndTheDialerLetsThePortGo() {
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--dial"), QStringLiteral("SILENT")}, clock);
  TSession &session = modem.session;
  modem.Click();
  QVERIFY(WaitUntil([&] { return session.StatusText() == QStringLiteral("Набор номера"); }, 30000));
  modem.Click();
  QCOMPARE(session.State(), csIdle);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.EndReason(), TEndReason::Cancelled);
  QCOMPARE(session.Inputs(), (TInputs{true, true, true, true}));
  QVERIFY(modem.LogHas(QStringLiteral(
      "  Установили \"Нет подключения\", нажатие на кнопку подключения в момент подключения к прибору")));
  QVERIFY(WaitUntil([&] { return PortIsFree(modem.device.linkPath()); }));
  // No failure text from the dialer's end.
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QVERIFY(!session.StatusIsError());
}

// A settings file spoilt while the program runs: storing the number fails
// before the dial starts, and the session must not offer to cancel a dial.
void TestSessionModem::storeErrorIsReportedAndNoDialIsShown() {
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  QFile store(modem.StorePath());
  QVERIFY(store.open(QIODevice::WriteOnly));
  store.write("garbage\r\n");
  store.close();
  modem.Click();
  QVERIFY(WaitUntil([&] { return !modem.prompts.isEmpty(); }));
  QCOMPARE(modem.prompts.size(), 1);
  QVERIFY2(modem.prompts.first().text.startsWith(QStringLiteral("Файл настроек")), qPrintable(modem.prompts.first().text));
  QCOMPARE(modem.session.State(), csIdle);
  QCOMPARE(modem.session.EndReason(), TEndReason::HandlerError);
  QCOMPARE(modem.session.Inputs(), (TInputs{true, true, true, true}));
  QTest::qWait(200);
  QCOMPARE(modem.device.receivedBytes(), QByteArray());
}

void TestSessionModem::modemConnectionHangupReconnectAndDisconnect() {
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TSession &session = modem.session;
  int broughtToFront = 0;
  QObject::connect(&session, &TSession::BringToFrontRequested, [&] { ++broughtToFront; });
  modem.Click();
  QVERIFY(WaitUntil([&] { return modem.Relaying() && modem.ClientConnected(); }, 60000));
  const qint64 setupPid = session.Launcher().SetupProcessId();
  QVERIFY(ProcessAlive(setupPid));
  QVERIFY(Echoes(*modem.client, "ping"));

  QVERIFY(modem.device.command(QStringLiteral("hangup")).startsWith("OK"));
  QVERIFY(WaitUntil([&] { return session.State() == csModemLost; }));
  QVERIFY(WaitUntil([&] { return !session.Relay().ServerActive(); }));
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.EndReason(), TEndReason::ModemHangup);
  QCOMPARE(session.Inputs(), (TInputs{false, false, false, false}));
  QVERIFY(ProcessAlive(setupPid));
  QCOMPARE(broughtToFront, 1);
  QVERIFY(modem.LogHas(QStringLiteral("  Установили \"Нет подключения\", процедура COMRead")));

  modem.Click();
  QCOMPARE(session.State(), csConnecting);
  QVERIFY(WaitUntil([&] { return modem.Relaying() && modem.ClientConnected(); }, 60000));
  QVERIFY(Echoes(*modem.client, "again"));
  QCOMPARE(session.Launcher().SetupProcessId(), setupPid);

  modem.Click();
  QCOMPARE(session.State(), csIdle);
  QVERIFY(!session.ModemConnect());
  QCOMPARE(session.Inputs(), (TInputs{true, true, true, true}));
  QVERIFY(WaitUntil([&] { return !ProcessAlive(setupPid) && !session.TearingDown(); }, 10000));
  QVERIFY(!QFile::exists(modem.CopyPath()));
  const QByteArray received = modem.device.receivedBytes();
  QCOMPARE(received.count("ATD+7900123\r"), 2);
  QCOMPARE(received.count("+VER_INFO=?\r\n"), 2);
  QVERIFY2(received.endsWith("+++ATH\r"), received.right(40).constData());
  QCOMPARE(LoadPhoneHistory(modem.StorePath()), QStringList{QStringLiteral("+7 900 123")});
}

// The device's data may hold a result word: it is relayed. The modem's
// result line arrives in the data of the call: the call ends, "ATH" follows
// after the pause, and nothing of that chunk is relayed.
void TestSessionModem::resultCodeWithinDataIsAHangup() {
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  modem.Click();
  QVERIFY(WaitUntil([&] { return modem.Relaying() && modem.ClientConnected(); }, 60000));
  QVERIFY(modem.device.command(QStringLiteral("send STATE=BUSY;\\r\\n")).startsWith("OK"));
  QCOMPARE(ReadExactly(*modem.client, 13, 10000), QByteArray("STATE=BUSY;\r\n"));
  QCOMPARE(modem.session.State(), csConnected);
  QVERIFY(modem.device.command(QStringLiteral("send \\r\\nNO CARRIER\\r\\n")).startsWith("OK"));
  QVERIFY(WaitUntil([&] { return modem.session.State() == csModemLost; }));
  QVERIFY(modem.LogHas(QStringLiteral("  Завершение работы по ошибке модема")));
  QTest::qWait(100);
  QCOMPARE(modem.client->bytesAvailable(), 0);
  QVERIFY(WaitUntil([&] { return modem.device.receivedBytes().endsWith("ATH\r"); }));
  QVERIFY(WaitUntil([&] { return !modem.session.TearingDown(); }));
}

void TestSessionModem::modemPortLossEndsTheConnectionAndKeepsTheSetupProgram() {
  TScaledClock clock(kSpeedup);
  TSessionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TSession &session = modem.session;
  modem.Click();
  QVERIFY(WaitUntil([&] { return modem.Relaying(); }, 60000));
  const qint64 setupPid = session.Launcher().SetupProcessId();
  QVERIFY(modem.device.command(QStringLiteral("unplug 60000")).startsWith("OK"));
  QVERIFY(WaitUntil([&] { return session.State() == csIdle && !session.Relay().Running(); }));
  QVERIFY(!session.Relay().ServerActive());
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.EndReason(), TEndReason::ModemPortLost);
  QCOMPARE(session.Inputs(), (TInputs{true, true, true, true}));
  QVERIFY(modem.LogHas(QStringLiteral("  Завершение работы по потере порта.")));
  QVERIFY(ProcessAlive(setupPid));
  QVERIFY(!session.Relay().PortOpen());
}

void TestSessionModem::takenServerPortHangsUpTheCall() {
  TScaledClock clock(kSpeedup);
  // The escape's pauses shrink with the clock: the modem waits only 1 ms of silence.
  TSessionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--guard"), QStringLiteral("1")}, clock);
  TSession &session = modem.session;
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, modem.port));
  modem.Click();
  QVERIFY(WaitUntil([&] { return session.State() == csIdle; }, 60000));
  QCOMPARE(modem.prompts.size(), 1);
  QVERIFY(modem.prompts.first().text.startsWith(QStringLiteral("Windows socket error: ")));
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.Inputs(), (TInputs{true, true, true, true}));
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Launcher().SetupIsStarted());
  QVERIFY(WaitUntil([&] { return modem.device.receivedBytes().endsWith("+VER_INFO=?\r\n+++ATH\r"); }));
  QVERIFY(WaitUntil([&] { return modem.device.command(QStringLiteral("state")) == QStringLiteral("OK command"); }));
}

QTEST_GUILESS_MAIN(TestSessionModem)
#include "test_session_modem.moc"
