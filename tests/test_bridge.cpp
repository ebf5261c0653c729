// The relay's port I/O, device identification and TCP endpoint, driven through
// its interface against a pseudo-terminal device (at the kernel's default
// line settings, as an adapter comes) and real loopback clients.
#include "BridgeTestSupport.h"
#include "MainFormFixture.h"
#include "PtyPair.h"
#include "ui/URLLabel.h"

#include <QDeadlineTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray kRequest = QByteArrayLiteral("+VER_INFO=?\r\n");

// A window whose port is the test's pseudo-terminal, opened as a cable would
// be, with the relay's server on a free port.
struct TBridgeFixture {
  explicit TBridgeFixture(TClock &clock = SystemClock()) : fixture(clock, {pty.Path()}) {
    fixture.log->show();
    relay().OpenCOMFromSettings();
  }
  TMainTandrelForm &form() { return *fixture.form; }
  TRelay &relay() { return fixture.form->Relay(); }

  // Starts the server and connects `count` clients to it.
  bool ServeClients(int count) {
    port = FreeTcpPort();
    fixture.tcpSettings->PortEdit->setText(QString::number(port));
    form().StartTCPServer();
    for (int i = 0; i < count; ++i) {
      auto client = ConnectClient(port);
      if (!client)
        return false;
      clients.push_back(std::move(client));
    }
    return WaitUntil([&] { return form().ServerSocket->Connections().size() == count && relay().SetupConnected(); });
  }
  // The relay loop as a connection runs it, until `done` holds or the time is up.
  bool RelayUntil(const std::function<bool()> &done, int timeoutMs = 10000) {
    if (!relay().Running()) {
      form().SetConnectState(csConnected);
      relay().Start();
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
      relay().RelayPass();
    return done();
  }
  QStringList LogWith(const QString &prefix) const {
    QStringList found;
    for (const QString &text : fixture.LogTexts())
      if (text.startsWith(QLatin1Char(' ') + prefix + QLatin1Char(' ')))
        found.append(text.mid(prefix.size() + 2));
    return found;
  }

  TPtyPair pty;
  TMainFormFixture fixture;
  quint16 port = 0;
  std::vector<std::unique_ptr<QTcpSocket>> clients;
};

// Collects what a client receives while the relay runs.
struct TReceived {
  explicit TReceived(QTcpSocket &client) {
    QObject::connect(&client, &QTcpSocket::readyRead, [this, &client] { bytes += client.readAll(); });
  }
  QByteArray bytes;
};

} // namespace

class TestBridge : public QObject {
  Q_OBJECT

private slots:
  void identification_data();
  void identification();
  void identificationAcceptsAReplyJustBeforeTheLimit_data();
  void identificationAcceptsAReplyJustBeforeTheLimit();
  void identificationEndsAtOnceWhenTheRequestIsRefused();
  void modemHangupWords_data();
  void modemHangupWords();
  void writeFailureDropsEveryClientAndKeepsListening();
  void serverPortRules_data();
  void serverPortRules();
  void serverListensOnLoopbackOnly();
  void takenPortRaisesTheSocketError();
  void twoClients();
  void everyByteValueCrossesALineAtKernelDefaults();
  void largeClientBurstGoesInChunksOfTheBuffer();
  void clientClosingRightAfterSendingHasAllOfItWritten_data();
  void clientClosingRightAfterSendingHasAllOfItWritten();
  void fixedPacingComesFromTheSettings();
  void deviceThatStopsReadingIsAStallNotAFailure();
  void relayStressKeepsEveryByteOnceAndInOrder();
};

void TestBridge::identification_data() {
  QTest::addColumn<QList<QByteArray>>("chunks"); // what the device sends after the request
  QTest::addColumn<QByteArray>("queuedBefore");
  QTest::addColumn<bool>("accepted");
  const QByteArray reply = "+VER_INFO: \"SIM\",DEMO.1.0\r\nOK\r\n";
  QTest::newRow("whole reply") << QList<QByteArray>{reply} << QByteArray() << true;
  QTest::newRow("OK CR LF split over two reads") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nOK\r", "\n"} << QByteArray() << true;
  QTest::newRow("echo first") << QList<QByteArray>{kRequest + reply} << QByteArray() << true;
  QTest::newRow("bytes queued before the request") << QList<QByteArray>{reply} << QByteArray("CONNECT 9600\r\n") << true;
  QTest::newRow("bytes after OK in the same chunk") << QList<QByteArray>{reply + "TAIL"} << QByteArray() << true;
  QTest::newRow("OK with LF only") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nOK\n"} << QByteArray() << false;
  QTest::newRow("lower-case ok") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nok\r\n"} << QByteArray() << false;
  QTest::newRow("error word") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nERROR\r\n"} << QByteArray() << false;
  QTest::newRow("silence") << QList<QByteArray>{} << QByteArray() << false;
}

void TestBridge::identification() {
  QFETCH(QList<QByteArray>, chunks);
  QFETCH(QByteArray, queuedBefore);
  QFETCH(bool, accepted);
  TManualClock clock;
  TBridgeFixture bridge(clock);
  QVERIFY(bridge.pty.IsValid());
  if (!queuedBefore.isEmpty()) {
    QVERIFY(bridge.pty.Send(queuedBefore));
    QThread::msleep(20);
  }
  // The device answers while the bridge waits, a chunk every 100 ms.
  QByteArray sent = queuedBefore;
  for (int i = 0; i < chunks.size(); ++i) {
    clock.At(100 * (i + 1), [&bridge, chunk = chunks[i]] {
      bridge.pty.Send(chunk);
      QThread::msleep(20); // let the pseudo-terminal pass the bytes on
    });
    sent += chunks[i];
  }
  const uint32_t start = clock.TickCount();
  QCOMPARE(bridge.relay().RequestVersionInfo() == TIdentification::Answered, accepted);
  QCOMPARE(bridge.pty.Receive(kRequest.size()), kRequest);
  QCOMPARE(bridge.relay().VerInfo(), accepted ? sent : QByteArray());
  QCOMPARE(bridge.LogWith(QStringLiteral("APP->COM")), QStringList{"+VER_INFO=?"});
  if (accepted)
    QVERIFY(!bridge.LogWith(QStringLiteral("COM->APP")).isEmpty());
  else
    QVERIFY(clock.TickCount() - start >= 10000);
}

void TestBridge::identificationAcceptsAReplyJustBeforeTheLimit_data() {
  QTest::addColumn<int>("at");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("9990 ms") << 9990 << true;
  QTest::newRow("10000 ms") << 10000 << false;
}

void TestBridge::identificationAcceptsAReplyJustBeforeTheLimit() {
  QFETCH(int, at);
  QFETCH(bool, accepted);
  TManualClock clock;
  TBridgeFixture bridge(clock);
  clock.At(at, [&bridge] {
    bridge.pty.Send("X,A.1\r\nOK\r\n");
    QThread::msleep(20);
  });
  QCOMPARE(bridge.relay().RequestVersionInfo() == TIdentification::Answered, accepted);
}

// Nothing was asked, so nothing is awaited: the attempt ends with the OS's
// reason in the log instead of ten seconds of waiting.
void TestBridge::identificationEndsAtOnceWhenTheRequestIsRefused() {
  TManualClock clock;
  TMainFormFixture fixture(clock);
  fixture.log->show();
  TRelay &relay = fixture.form->Relay();
  relay.TakeOverCOM(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const uint32_t start = clock.TickCount();
  QCOMPARE(relay.RequestVersionInfo(), TIdentification::RequestNotWritten);
  QCOMPARE(clock.TickCount(), start);
  QVERIFY(relay.VerInfo().isEmpty());
  const QStringList log = fixture.LogTexts();
  QVERIFY(log.contains(QStringLiteral("  Ошибка записи в COM порт")));
  QVERIFY2(log.contains(QStringLiteral("  Запрос VER_INFO не отправлен: Bad file descriptor")), qPrintable(log.join('\n')));
  relay.CloseCOMPort();
}

void TestBridge::modemHangupWords_data() {
  QTest::addColumn<QByteArray>("chunk");
  QTest::addColumn<bool>("hangup");
  QTest::newRow("BUSY") << QByteArray("\r\nBUSY\r\n") << true;
  QTest::newRow("no carrier in lower case") << QByteArray("data no carrier data") << true;
  QTest::newRow("NO DIALTONE") << QByteArray("NO DIALTONE") << true;
  QTest::newRow("NO ANSWER") << QByteArray("\r\nNO ANSWER\r\n") << true;
  QTest::newRow("device data that contains BUSY") << QByteArray("STATE=BUSY;") << true;
  QTest::newRow("plain data") << QByteArray("NO CARRI") << false;
  // The upper case of U+0149 is U+02BC 'N': "NʼNO CARRIER" to a Unicode upper-casing.
  QTest::newRow("a letter whose upper case spells a code") << QByteArray("N\xC5\x89O CARRIER") << false;
}

void TestBridge::modemHangupWords() {
  QFETCH(QByteArray, chunk);
  QFETCH(bool, hangup);
  for (const bool modem : {false, true}) {
    TBridgeFixture bridge;
    TRelay &relay = bridge.relay();
    QVERIFY(bridge.ServeClients(1));
    TReceived received(*bridge.clients.front());
    relay.SetModemConnect(modem);
    QVERIFY(bridge.pty.Send(chunk));
    QVERIFY(bridge.RelayUntil([&] { return received.bytes.size() >= chunk.size() || !relay.PortOpen(); }));
    TMainTandrelForm &form = bridge.form();
    if (modem && hangup) {
      QCOMPARE(received.bytes, QByteArray());
      QCOMPARE(form.URLLabel1->Tag(), int(csModemLost));
      QCOMPARE(form.URLLabel1->text(), QStringLiteral("Переподключить"));
      QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
      QVERIFY(!relay.Running());
      QCOMPARE(relay.EndReason(), TRelayEnd::ModemHangup);
      QCOMPARE(bridge.pty.Receive(4), QByteArray("ATH\r"));
      const QStringList log = bridge.fixture.LogTexts();
      QVERIFY(log.contains(QStringLiteral("  Завершение работы по ошибке модема")));
      QVERIFY(log.contains(QStringLiteral("  Установили \"Нет подключения\", процедура COMRead")));
    } else {
      QCOMPARE(received.bytes, chunk);
      QVERIFY(relay.Running());
      QCOMPARE(form.URLLabel1->Tag(), int(csConnected));
    }
  }
}

void TestBridge::writeFailureDropsEveryClientAndKeepsListening() {
  TMainFormFixture fixture;
  fixture.log->show();
  TMainTandrelForm &form = *fixture.form;
  TRelay &relay = form.Relay();
  const quint16 port = FreeTcpPort();
  fixture.tcpSettings->PortEdit->setText(QString::number(port));
  form.StartTCPServer();
  auto first = ConnectClient(port);
  auto second = ConnectClient(port);
  QVERIFY(first && second);
  QVERIFY(WaitUntil([&] { return form.ServerSocket->Connections().size() == 2 && relay.SetupConnected(); }));
  // A handle that refuses writes stands in for a port that failed.
  relay.TakeOverCOM(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  relay.Start();
  first->write("abc");
  const QDeadlineTimer deadline(5000);
  while (!relay.Recovering() && !deadline.hasExpired())
    relay.RelayPass();
  QCOMPARE(relay.PortLoss(), TPortLoss::WriteFailed);
  QCOMPARE(form.Label7->text(), QStringLiteral("Прибор не доступен"));
  QCOMPARE(form.Label7->palette().color(QPalette::WindowText), QColor(Qt::red));
  QVERIFY(fixture.LogTexts().contains(QStringLiteral("  Ошибка записи в COM порт")));
  QVERIFY(!relay.SetupConnected());
  QVERIFY(WaitUntil([&] {
    return first->state() == QAbstractSocket::UnconnectedState && second->state() == QAbstractSocket::UnconnectedState;
  }));
  QVERIFY(ConnectClient(port));
  relay.Stop(TRelayEnd::UserDisconnect);
  relay.CloseCOMPort();
}

void TestBridge::serverPortRules_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("shown");
  QTest::newRow("default") << "53462" << "53462";
  QTest::newRow("letters") << "abc" << "53462";
  QTest::newRow("privileged") << "80" << "53462";
  QTest::newRow("negative") << "-5" << "53462";
  QTest::newRow("above 65535") << "70000" << "53462";
  QTest::newRow("1024 kept") << "1024" << "1024";
}

void TestBridge::serverPortRules() {
  QFETCH(QString, text);
  QFETCH(QString, shown);
  TMainFormFixture fixture;
  fixture.tcpSettings->PortEdit->setText(text);
  try {
    fixture.form->StartTCPServer();
  } catch (const std::exception &) {
    // A port in use elsewhere still shows which port was tried.
  }
  QCOMPARE(fixture.tcpSettings->PortEdit->text(), shown);
  if (fixture.form->ServerSocket->Active())
    QCOMPARE(fixture.form->ServerSocket->Port(), quint16(shown.toUInt()));
}

void TestBridge::serverListensOnLoopbackOnly() {
  TMainFormFixture fixture;
  const quint16 port = FreeTcpPort();
  fixture.tcpSettings->PortEdit->setText(QString::number(port));
  fixture.form->StartTCPServer();
  QCOMPARE(fixture.form->ServerSocket->Address(), QHostAddress(QHostAddress::LocalHost));
  QTcpSocket other;
  other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), port);
  QVERIFY(!other.waitForConnected(1000));
}

void TestBridge::takenPortRaisesTheSocketError() {
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
  TMainFormFixture fixture;
  fixture.tcpSettings->PortEdit->setText(QString::number(holder.serverPort()));
  try {
    fixture.form->StartTCPServer();
    QFAIL("the server started on a taken port");
  } catch (const std::exception &error) {
    QVERIFY2(QString::fromUtf8(error.what()).startsWith(QStringLiteral("Windows socket error: ")), error.what());
    QVERIFY(QString::fromUtf8(error.what()).contains(QStringLiteral("on API 'bind'")));
  }
}

void TestBridge::twoClients() {
  TBridgeFixture bridge;
  TRelay &relay = bridge.relay();
  QVERIFY(bridge.ServeClients(2));
  QTcpSocket &first = *bridge.clients[0];
  QTcpSocket &second = *bridge.clients[1];
  TReceived atFirst(first), atSecond(second);

  // Bytes from either client reach the port.
  QByteArray atDevice;
  for (QTcpSocket *client : {&first, &second}) {
    client->write("hello");
    atDevice.clear();
    QVERIFY(bridge.RelayUntil([&] { return (atDevice += bridge.pty.ReceiveAvailable()).size() >= 5; }));
    QCOMPARE(atDevice, QByteArray("hello"));
  }
  // Bytes from the port go to the first client only.
  QVERIFY(bridge.pty.Send("dev1"));
  QVERIFY(bridge.RelayUntil([&] { return atFirst.bytes == "dev1"; }));
  // One of two leaving does not stop the relay towards the other.
  first.disconnectFromHost();
  QVERIFY(bridge.RelayUntil([&] { return bridge.form().ServerSocket->Connections().size() == 1; }));
  QVERIFY(relay.SetupConnected());
  QVERIFY(bridge.pty.Send("dev2"));
  QVERIFY(bridge.RelayUntil([&] { return atSecond.bytes == "dev2"; }));
  second.disconnectFromHost();
  QVERIFY(bridge.RelayUntil([&] { return !relay.SetupConnected(); }));
  // A restart closes a client without telling: until a client connects again,
  // the device's bytes are logged as having nowhere to go.
  bridge.clients.push_back(ConnectClient(bridge.port));
  QVERIFY(bridge.RelayUntil([&] { return relay.SetupConnected(); }));
  bridge.form().StartTCPServer();
  QVERIFY(bridge.pty.Send("dev3"));
  const QString nowhere = QStringLiteral("  Оболочка истчо не подключилась к мосту.");
  QVERIFY(bridge.RelayUntil([&] { return bridge.fixture.LogTexts().contains(nowhere); }));
}

// A fresh line has IXON on, which would eat 0x11 and 0x13 and let a 0x13 from
// the device stop the bridge's own output.
void TestBridge::everyByteValueCrossesALineAtKernelDefaults() {
  TBridgeFixture bridge;
  QVERIFY(bridge.ServeClients(1));
  QTcpSocket &client = *bridge.clients.front();
  TReceived atClient(client);
  const QByteArray values = AllByteValues();

  QVERIFY(bridge.pty.Send(values)); // ends in 0x13, XOFF
  QVERIFY(bridge.RelayUntil([&] { return atClient.bytes.size() >= values.size(); }));
  QCOMPARE(atClient.bytes, values);

  client.write(values);
  QByteArray atDevice;
  QVERIFY(bridge.RelayUntil([&] { return (atDevice += bridge.pty.ReceiveAvailable()).size() >= values.size(); }));
  QCOMPARE(atDevice, values);
  QCOMPARE(bridge.relay().PortLoss(), TPortLoss::None);
}

// One pass moves at most one transfer buffer towards the port; what a client
// sends beyond it waits in the socket and follows, nothing dropped.
void TestBridge::largeClientBurstGoesInChunksOfTheBuffer() {
  TBridgeFixture bridge;
  bridge.fixture.log->hide();
  QVERIFY(bridge.ServeClients(1));
  bridge.fixture.log->show();
  const QByteArray burst(40000, 'x');
  bridge.clients.front()->write(burst);
  QByteArray atDevice;
  QVERIFY(bridge.RelayUntil([&] { return (atDevice += bridge.pty.ReceiveAvailable()).size() >= burst.size(); }));
  QCOMPARE(atDevice, burst);
  const QStringList chunks = bridge.LogWith(QStringLiteral("TCP->COM"));
  QVERIFY(chunks.size() >= 2);
  qsizetype logged = 0;
  for (const QString &chunk : chunks) {
    QVERIFY(chunk.size() <= TRelay::kDataBufferSize);
    logged += chunk.size();
  }
  QCOMPARE(logged, burst.size());
}

void TestBridge::clientClosingRightAfterSendingHasAllOfItWritten_data() {
  QTest::addColumn<int>("size");
  QTest::addColumn<bool>("deviceAnswers");
  QTest::newRow("100 KiB, silent device") << 100 * 1024 << false;
  // What the device sends back must not reach the closed client: its system
  // would answer with a reset and throw away what of the upload is unread.
  QTest::newRow("1 MiB, device answering every read") << 1024 * 1024 << true;
}

// The client closes right after its upload. The close is seen at once but
// reported only once all it sent is at the port.
void TestBridge::clientClosingRightAfterSendingHasAllOfItWritten() {
  QFETCH(int, size);
  QFETCH(bool, deviceAnswers);
  TBridgeFixture bridge;
  bridge.fixture.log->hide(); // a megabyte of log lines would only slow the test
  QVERIFY(bridge.ServeClients(1));
  TServerSocket &server = *bridge.form().ServerSocket;
  TClientConnection *connection = server.Connections().constFirst();
  const QByteArray upload = RandomBytes(size, 11);
  QTcpSocket &client = *bridge.clients.front();
  client.write(upload);
  client.disconnectFromHost();

  // The device reads nothing yet, so most of the upload waits in the wizard.
  QVERIFY(bridge.RelayUntil([&] { return server.PeerClosed(connection); }));
  QVERIFY(bridge.relay().SetupConnected());

  QByteArray atDevice;
  QVERIFY(bridge.RelayUntil([&] {
    const QByteArray read = bridge.pty.ReceiveAvailable();
    if (deviceAnswers && !read.isEmpty())
      bridge.pty.Send("OK\r\n");
    atDevice += read;
    return atDevice.size() >= upload.size();
  }, 60000));
  QCOMPARE(atDevice.size(), upload.size());
  QVERIFY(atDevice == upload);
  QVERIFY(bridge.RelayUntil([&] { return !bridge.relay().SetupConnected(); }));
}

// The device reads nothing for a while: the line is full, not broken. The
// client stays connected, the device's own bytes still get through, and the
// stall is logged once when it has lasted long and once when it ends.
void TestBridge::deviceThatStopsReadingIsAStallNotAFailure() {
  TScaledClock fast(20);
  TBridgeFixture bridge(fast);
  QVERIFY(bridge.ServeClients(1));
  QTcpSocket &client = *bridge.clients.front();
  TReceived atClient(client);
  const QByteArray upload(256 * 1024, 'u');
  client.write(upload);
  const QString stalled = QStringLiteral("  COM порт не принимает данные уже 5 с, ожидание");
  QVERIFY(bridge.RelayUntil([&] { return bridge.fixture.LogTexts().contains(stalled); }, 20000));
  QVERIFY(bridge.pty.Send("still talking"));
  QVERIFY(bridge.RelayUntil([&] { return atClient.bytes == "still talking"; }));
  QVERIFY(bridge.relay().SetupConnected());
  QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
  QCOMPARE(bridge.relay().PortLoss(), TPortLoss::None);

  QByteArray atDevice;
  QVERIFY(bridge.RelayUntil([&] { return (atDevice += bridge.pty.ReceiveAvailable()).size() >= upload.size(); }));
  QVERIFY(atDevice == upload);
  const QStringList log = bridge.fixture.LogTexts();
  QCOMPARE(log.count(stalled), 1);
  QCOMPARE(log.count(QStringLiteral("  COM порт снова принимает данные")), 1);
  QVERIFY(!log.contains(QStringLiteral("  Ошибка записи в COM порт")));
}

// The whole relay pass, both directions at once, random chunk sizes: every
// byte arrives exactly once and in order.
void TestBridge::relayStressKeepsEveryByteOnceAndInOrder() {
  TBridgeFixture bridge;
  bridge.fixture.log->hide(); // logging megabytes would only slow the test
  QVERIFY(bridge.ServeClients(1));
  QTcpSocket &client = *bridge.clients.front();

  const qsizetype total = 1 << 20;
  const QByteArray toDevice = RandomBytes(total, 20261210);
  const QByteArray toClient = RandomBytes(total, 20261211);
  QRandomGenerator random(7);
  qsizetype clientSent = 0, deviceSent = 0;
  QByteArray atDevice, atClient;
  QTimer driver;
  connect(&driver, &QTimer::timeout, this, [&] {
    if (clientSent < total) {
      const qsizetype n = std::min<qsizetype>(random.bounded(1, 20000), total - clientSent);
      client.write(toDevice.constData() + clientSent, n);
      clientSent += n;
    }
    if (deviceSent < total) {
      const qsizetype n = std::min<qsizetype>(random.bounded(1, 3000), total - deviceSent);
      const qsizetype room = ::write(bridge.pty.MasterFd(), toClient.constData() + deviceSent, size_t(n));
      if (room > 0)
        deviceSent += room;
    }
    atDevice += bridge.pty.ReceiveAvailable();
    atClient += client.readAll();
  });
  driver.start(2);
  QVERIFY2(bridge.RelayUntil([&] { return atDevice.size() >= total && atClient.size() >= total; }, 120000),
           "the relay did not move every byte in time");
  QCOMPARE(atDevice.size(), total);
  QVERIFY(atDevice == toDevice);
  QCOMPARE(atClient.size(), total);
  QVERIFY(atClient == toClient);
}

// No window has it: a line in the settings file restores the fixed pacing.
void TestBridge::fixedPacingComesFromTheSettings() {
  for (const bool fixed : {false, true}) {
    const QByteArray settings = "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n"
                                "\"FIXEDPACING\"=dword:0000000" +
                                QByteArray(fixed ? "1" : "0") + "\r\n";
    TMainFormFixture fixture(SystemClock(), {}, settings);
    QCOMPARE(fixture.form->Relay().FixedPacing(), fixed);
  }
  TMainFormFixture unset;
  QVERIFY(!unset.form->Relay().FixedPacing());
}

QTEST_MAIN(TestBridge)
#include "test_bridge.moc"
