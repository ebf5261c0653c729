// The bridge's port I/O, device identification and TCP endpoint, against a
// pseudo-terminal device and real loopback clients.
#include "BridgeTestSupport.h"
#include "MainFormFixture.h"
#include "PtyPair.h"
#include "ui/URLLabel.h"

#include <QLineEdit>
#include <QRandomGenerator>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray kRequest = QByteArrayLiteral("+VER_INFO=?\r\n");

// A window whose port is the test's pseudo-terminal, opened as a cable would be.
struct TBridgeFixture {
  explicit TBridgeFixture(TClock &clock = SystemClock()) : fixture(clock, {pty.Path()}) {
    fixture.log->show();
    fixture.form->OpenCOMFromSettings();
  }
  TMainTandrelForm &form() { return *fixture.form; }
  TPtyPair pty;
  TMainFormFixture fixture;
};

QStringList WithPrefix(const QStringList &texts, const QString &prefix) {
  QStringList found;
  for (const QString &text : texts)
    if (text.startsWith(QLatin1Char(' ') + prefix + QLatin1Char(' ')))
      found.append(text.mid(prefix.size() + 2));
  return found;
}

} // namespace

class TestBridge : public QObject {
  Q_OBJECT

private slots:
  void identification_data();
  void identification();
  void identificationAcceptsAReplyJustBeforeTheLimit_data();
  void identificationAcceptsAReplyJustBeforeTheLimit();
  void modemHangupWords_data();
  void modemHangupWords();
  void writeFailureDropsEveryClientAndKeepsListening();
  void serverPortRules_data();
  void serverPortRules();
  void serverListensOnLoopbackOnly();
  void takenPortRaisesTheSocketError();
  void twoClients();
  void largeClientChunkComesInTwoReads();
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
  QCOMPARE(bridge.form().RequestVersionInfo(), accepted);
  QCOMPARE(bridge.pty.Receive(kRequest.size()), kRequest);
  QCOMPARE(bridge.form().FVerInfo, accepted ? sent : QByteArray());
  const QStringList log = bridge.fixture.LogTexts();
  QCOMPARE(WithPrefix(log, QStringLiteral("APP->COM")), QStringList{"+VER_INFO=?"});
  if (accepted)
    QVERIFY(!WithPrefix(log, QStringLiteral("COM->APP")).isEmpty());
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
  QCOMPARE(bridge.form().RequestVersionInfo(), accepted);
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
}

void TestBridge::modemHangupWords() {
  QFETCH(QByteArray, chunk);
  QFETCH(bool, hangup);
  for (const bool modem : {false, true}) {
    TBridgeFixture bridge;
    TMainTandrelForm &form = bridge.form();
    form.FModemConnect = modem;
    form.FConnected = true;
    form.SetConnectState(csConnected);
    QVERIFY(bridge.pty.Send(chunk));
    int32_t n = 0;
    QVERIFY(WaitUntil([&] { return (n = form.COMRead()) > 0 || form.FCOMHandle == INVALID_HANDLE_VALUE; }));
    if (modem && hangup) {
      QCOMPARE(n, 0);
      QCOMPARE(form.URLLabel1->Tag(), int(csModemLost));
      QCOMPARE(form.URLLabel1->text(), QStringLiteral("Переподключить"));
      QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
      QVERIFY(!form.FConnected);
      QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
      QCOMPARE(bridge.pty.Receive(4), QByteArray("ATH\r"));
      const QStringList log = bridge.fixture.LogTexts();
      QVERIFY(log.contains(QStringLiteral("  Завершение работы по ошибке модема")));
      QVERIFY(log.contains(QStringLiteral("  Установили \"Нет подключения\", процедура COMRead")));
    } else {
      QCOMPARE(form.BufferToString(n), chunk);
      QVERIFY(form.FConnected);
      QCOMPARE(form.URLLabel1->Tag(), int(csConnected));
    }
  }
}

void TestBridge::writeFailureDropsEveryClientAndKeepsListening() {
  TMainFormFixture fixture;
  TMainTandrelForm &form = *fixture.form;
  const quint16 port = FreeTcpPort();
  fixture.tcpSettings->PortEdit->setText(QString::number(port));
  form.StartTCPServer();
  auto first = ConnectClient(port);
  auto second = ConnectClient(port);
  QVERIFY(first && second);
  QVERIFY(WaitUntil([&] { return form.ServerSocket->Connections().size() == 2 && form.FSetupConnected; }));
  // A handle that refuses writes stands in for a port that failed.
  form.FCOMHandle = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  QCOMPARE(form.COMWrite("abc", 3), -1);
  QCOMPARE(form.Label7->text(), QStringLiteral("Прибор не доступен"));
  QCOMPARE(form.Label7->palette().color(QPalette::WindowText), QColor(Qt::red));
  QVERIFY(form.FNeedCOMReconnect);
  QVERIFY(!form.FSetupConnected);
  QVERIFY(WaitUntil([&] {
    return first->state() == QAbstractSocket::UnconnectedState && second->state() == QAbstractSocket::UnconnectedState;
  }));
  QVERIFY(ConnectClient(port));
  CloseCOM(form.FCOMHandle);
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
  TMainTandrelForm &form = bridge.form();
  const quint16 port = FreeTcpPort();
  bridge.fixture.tcpSettings->PortEdit->setText(QString::number(port));
  form.StartTCPServer();
  auto first = ConnectClient(port);
  auto second = ConnectClient(port);
  QVERIFY(first && second);
  QVERIFY(WaitUntil([&] { return form.ServerSocket->Connections().size() == 2; }));

  // Bytes from either client reach the port.
  for (QTcpSocket *client : {first.get(), second.get()}) {
    client->write("hello");
    QVERIFY(WaitUntil([&] { return form.FReadSocket == 5; }));
    QCOMPARE(form.COMWrite(form.FSocketBuffer.data(), form.FReadSocket), 5);
    form.FReadSocket = 0;
    QCOMPARE(bridge.pty.Receive(5), QByteArray("hello"));
  }
  // Bytes from the port go to the first client only.
  form.StringToBuffer("dev1");
  QVERIFY(form.SendToSetupProgram(4));
  QCOMPARE(ReadExactly(*first, 4), QByteArray("dev1"));
  // One of two leaving does not stop the relay towards the other.
  first->disconnectFromHost();
  QVERIFY(WaitUntil([&] { return form.ServerSocket->Connections().size() == 1; }));
  QVERIFY(form.FSetupConnected);
  form.StringToBuffer("dev2");
  QVERIFY(form.SendToSetupProgram(4));
  QCOMPARE(ReadExactly(*second, 4), QByteArray("dev2"));
  QCOMPARE(second->bytesAvailable(), 0);
  second->disconnectFromHost();
  QVERIFY(WaitUntil([&] { return !form.FSetupConnected; }));
  QVERIFY(!form.SendToSetupProgram(4));
  // A restart while the flag is left set logs that the shell is not connected yet.
  form.FSetupConnected = true;
  form.StartTCPServer();
  QVERIFY(!form.SendToSetupProgram(4));
  QVERIFY(bridge.fixture.LogTexts().contains(QStringLiteral("  Оболочка истчо не подключилась к мосту.")));
}

void TestBridge::largeClientChunkComesInTwoReads() {
  TMainFormFixture fixture;
  TMainTandrelForm &form = *fixture.form;
  const quint16 port = FreeTcpPort();
  fixture.tcpSettings->PortEdit->setText(QString::number(port));
  form.StartTCPServer();
  auto client = ConnectClient(port);
  QVERIFY(client);
  client->write(QByteArray(40000, 'x'));
  QVERIFY(WaitUntil([&] { return form.FReadSocket == 32768; }));
  // While the chunk waits for the port, nothing replaces it.
  QTest::qWait(50);
  QCOMPARE(form.FReadSocket, 32768);
  form.FReadSocket = 0;
  form.ServerSocketRequestRead();
  QVERIFY(WaitUntil([&] { return form.FReadSocket == 7232; }));
}

// The whole relay loop, both directions at once, random chunk sizes: every
// byte arrives exactly once and in order.
void TestBridge::relayStressKeepsEveryByteOnceAndInOrder() {
  TBridgeFixture bridge;
  TMainTandrelForm &form = bridge.form();
  const quint16 port = FreeTcpPort();
  bridge.fixture.tcpSettings->PortEdit->setText(QString::number(port));
  bridge.fixture.log->hide(); // logging megabytes would only slow the test
  form.StartTCPServer();
  auto client = ConnectClient(port);
  QVERIFY(client);

  QRandomGenerator random(20261210);
  const qsizetype total = 1 << 20;
  QByteArray toDevice(total, Qt::Uninitialized), toClient(total, Qt::Uninitialized);
  for (qsizetype i = 0; i < total; ++i) {
    toDevice[i] = char(random.bounded(256));
    toClient[i] = char(random.bounded(256));
  }
  qsizetype clientSent = 0, deviceSent = 0;
  QByteArray atDevice, atClient;
  QTimer driver;
  connect(&driver, &QTimer::timeout, this, [&] {
    if (clientSent < total) {
      const qsizetype n = std::min<qsizetype>(random.bounded(1, 20000), total - clientSent);
      client->write(toDevice.constData() + clientSent, n);
      clientSent += n;
    }
    if (deviceSent < total) {
      const qsizetype n = std::min<qsizetype>(random.bounded(1, 3000), total - deviceSent);
      const qsizetype room = ::write(bridge.pty.MasterFd(), toClient.constData() + deviceSent, size_t(n));
      if (room > 0)
        deviceSent += room;
    }
    atDevice += bridge.pty.ReceiveAvailable();
    atClient += client->readAll();
    if (atDevice.size() >= total && atClient.size() >= total)
      form.FConnected = false;
  });
  driver.start(2);
  QTimer watchdog;
  watchdog.setSingleShot(true);
  connect(&watchdog, &QTimer::timeout, this, [&] { form.FConnected = false; });
  watchdog.start(120000);
  form.FConnected = true;
  while (form.FConnected)
    form.RelayPass();
  QVERIFY2(watchdog.isActive(), "the relay did not move every byte in time");
  QCOMPARE(atDevice.size(), total);
  QVERIFY(atDevice == toDevice);
  QCOMPARE(atClient.size(), total);
  QVERIFY(atClient == toClient);
}

QTEST_MAIN(TestBridge)
#include "test_bridge.moc"
