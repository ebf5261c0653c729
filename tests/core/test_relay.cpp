// The relay's port I/O, device identification and TCP endpoint, driven through
// its interface and the event loop against a pseudo-terminal device (at the
// kernel's default line settings, as an adapter comes) and real loopback
// clients.
#include "BridgeTestSupport.h"
#include "LogEntries.h"
#include "PtyPair.h"
#include "SlowedClock.h"
#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/Relay.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray kRequest = QByteArrayLiteral("+VER_INFO=?\r\n");
constexpr int32_t kBaudRate = 19200;

// A relay on the test's pseudo-terminal, which (with /dev/null) is all the
// port list holds, logging into a model of its own.
struct TRelayRig {
  explicit TRelayRig(TClock &clock = SystemClock()) : teardown(clock), relay(log, teardown, clock, Ports()) {}

  TPortSystem Ports() const {
    TPortSystem ports;
    ports.sysfsRoot = folder.filePath(QStringLiteral("sys")).toStdString();
    ports.devRoot = folder.filePath(QStringLiteral("dev")).toStdString();
    ports.extraPorts = pty.Path().toStdString() + ":/dev/null";
    return ports;
  }
  bool OpenPort() { return pty.IsValid() && relay.OpenCOMFromSettings(pty.Path(), kBaudRate); }
  void StartRelay(bool modem = false, bool fixedPacing = false) {
    relay.Start(pty.Path(), modem, fixedPacing, kBaudRate);
  }

  // Bytes at the port side that the relay has not read.
  int QueuedAtPort() const {
    int queued = 0;
    return ioctl(pty.SlaveFd(), FIONREAD, &queued) == 0 ? queued : -1;
  }
  // Device -> port. Returns once all of `bytes` wait at the port side; no
  // event runs meanwhile, so the relay has seen none of them yet.
  bool DeviceSends(const QByteArray &bytes) {
    const int before = QueuedAtPort();
    if (before < 0 || !pty.Send(bytes))
      return false;
    const QDeadlineTimer deadline(5000);
    while (QueuedAtPort() < before + bytes.size()) {
      if (deadline.hasExpired())
        return false;
      QThread::usleep(200);
    }
    return true;
  }
  // The relay has read everything the device sent.
  bool PortDrained() {
    return WaitUntil([this] { return QueuedAtPort() == 0; });
  }
  // Port -> device, as the relay runs: `count` bytes or what came in time.
  QByteArray DeviceReceives(qsizetype count, int timeoutMs = 5000) {
    QByteArray received;
    WaitUntil([&] { return (received += pty.ReceiveAvailable()).size() >= count; }, timeoutMs);
    return received;
  }

  // Starts the server on a free port and connects `count` clients to it.
  bool ServeClients(int count) {
    port = FreeTcpPort();
    relay.StartTCPServer(port);
    for (int i = 0; i < count; ++i) {
      auto client = ConnectClient(port);
      if (!client)
        return false;
      clients.push_back(std::move(client));
    }
    return WaitUntil([&] { return relay.Server().Connections().size() == count && relay.SetupConnected(); });
  }

  QStringList LogTexts() const { return EntriesAfterStamps(log.Entries()); }
  // The logged lines of relayed or identification bytes with `prefix`.
  QStringList LogWith(const QString &prefix) const {
    QStringList found;
    for (const QString &text : LogTexts())
      if (text.startsWith(QLatin1Char(' ') + prefix + QLatin1Char(' ')))
        found.append(text.mid(prefix.size() + 2));
    return found;
  }

  QTemporaryDir folder; // an empty hardware port list
  TPtyPair pty;
  TLogModel log;
  TTeardown teardown;
  TRelay relay;
  quint16 port = 0;
  std::vector<std::unique_ptr<QTcpSocket>> clients;
};

// Collects what a client receives while the event loop runs.
struct TReceived {
  explicit TReceived(QTcpSocket &client) {
    QObject::connect(&client, &QTcpSocket::readyRead, &context, [this, &client] { bytes += client.readAll(); });
  }
  QObject context;
  QByteArray bytes;
};

TIdentification ResultOf(const QSignalSpy &identified) {
  return identified.first().first().value<TIdentification>();
}

// The identification's result stands: neither its limit nor a late reply
// tells another.
void ExpectNoSecondResult(TManualClock &clock, const QSignalSpy &identified) {
  clock.Sleep(TRelay::kIdentificationTimeoutMs);
  QTest::qWait(20);
  QCOMPARE(identified.size(), 1);
}

} // namespace

class TestRelay : public QObject {
  Q_OBJECT

private slots:
  void identification_data();
  void identification();
  void identificationAcceptsAReplyJustBeforeTheLimit_data();
  void identificationAcceptsAReplyJustBeforeTheLimit();
  void identificationEndsAtOnceWhenTheRequestIsRefused();
  void modemResultCodeDuringTheIdentificationEndsNoWait();
  void modemHangupWords_data();
  void modemHangupWords();
  void deviceBytesNobodyTakesAreToldAsNotDelivered();
  void blockAndItsOneByteAnswerCrossWithinAPass();
  void writeFailureIsToldAndTheServerKeepsListening();
  void writeFailureInThePassLeavesThePortUnread();
  void vanishedPortIsToldAndTheRelayResumes();
  void serverPortRules_data();
  void serverPortRules();
  void serverListensOnLoopbackOnly();
  void takenPortRaisesTheSocketError();
  void twoClients();
  void everyByteValueCrossesALineAtKernelDefaults();
  void largeClientBurstGoesInChunksOfTheBuffer();
  void clientClosingRightAfterSendingHasAllOfItWritten_data();
  void clientClosingRightAfterSendingHasAllOfItWritten();
  void fixedPacingMovesBytesOnlyAtThePass_data();
  void fixedPacingMovesBytesOnlyAtThePass();
  void deviceThatStopsReadingIsAStallNotAFailure();
  void relayStressKeepsEveryByteOnceAndInOrder();
};

void TestRelay::identification_data() {
  QTest::addColumn<QList<QByteArray>>("chunks"); // what the device sends after the request, read one by one
  QTest::addColumn<QByteArray>("queuedBefore");
  QTest::addColumn<bool>("accepted");
  const QByteArray reply = "+VER_INFO: \"SIM\",DEMO.1.0\r\nOK\r\n";
  QTest::newRow("whole reply") << QList<QByteArray>{reply} << QByteArray() << true;
  QTest::newRow("OK CR LF split over two reads") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nOK\r", "\n"} << QByteArray()
                                                 << true;
  QTest::newRow("OK split after its O") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nO", "K\r\n"} << QByteArray() << true;
  QTest::newRow("echo first") << QList<QByteArray>{kRequest + reply} << QByteArray() << true;
  QTest::newRow("bytes queued before the request") << QList<QByteArray>{reply} << QByteArray("CONNECT 9600\r\n")
                                                   << true;
  QTest::newRow("bytes after OK in the same chunk") << QList<QByteArray>{reply + "TAIL"} << QByteArray() << true;
  QTest::newRow("OK with LF only") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nOK\n"} << QByteArray() << false;
  QTest::newRow("lower-case ok") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nok\r\n"} << QByteArray() << false;
  QTest::newRow("error word") << QList<QByteArray>{"+VER_INFO: X,A.1\r\nERROR\r\n"} << QByteArray() << false;
  QTest::newRow("silence") << QList<QByteArray>{} << QByteArray() << false;
}

// Time moves only as the test says: an answer ends the wait as soon as it is
// read, anything else waits for the whole limit.
void TestRelay::identification() {
  QFETCH(QList<QByteArray>, chunks);
  QFETCH(QByteArray, queuedBefore);
  QFETCH(bool, accepted);
  TManualClock clock;
  TRelayRig rig(clock);
  QVERIFY(rig.OpenPort());
  QSignalSpy identified(&rig.relay, &TRelay::Identified);
  if (!queuedBefore.isEmpty())
    QVERIFY(rig.DeviceSends(queuedBefore));

  rig.relay.RequestVersionInfo(false);
  QCOMPARE(rig.pty.Receive(kRequest.size()), kRequest);
  QByteArray sent = queuedBefore;
  for (const QByteArray &chunk : chunks) {
    QVERIFY(identified.isEmpty());
    clock.Sleep(100);
    QVERIFY(rig.DeviceSends(chunk));
    QVERIFY(rig.PortDrained());
    sent += chunk;
  }
  if (!accepted) {
    QVERIFY(identified.isEmpty());
    clock.Sleep(TRelay::kIdentificationTimeoutMs);
    QTRY_COMPARE(identified.size(), 1);
  }
  QCOMPARE(identified.size(), 1);
  QCOMPARE(ResultOf(identified), accepted ? TIdentification::Answered : TIdentification::NoAnswer);
  QCOMPARE(rig.relay.VerInfo(), accepted ? sent : QByteArray());
  QCOMPARE(rig.LogWith(QStringLiteral("APP->COM")), QStringList{"+VER_INFO=?"});
  QCOMPARE(rig.LogWith(QStringLiteral("COM->APP")).isEmpty(), !accepted);
}

void TestRelay::identificationAcceptsAReplyJustBeforeTheLimit_data() {
  QTest::addColumn<int>("at");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("9990 ms") << 9990 << true;
  QTest::newRow("10000 ms") << 10000 << false;
}

void TestRelay::identificationAcceptsAReplyJustBeforeTheLimit() {
  QFETCH(int, at);
  QFETCH(bool, accepted);
  TManualClock clock;
  TRelayRig rig(clock);
  QVERIFY(rig.OpenPort());
  QSignalSpy identified(&rig.relay, &TRelay::Identified);
  rig.relay.RequestVersionInfo(false);
  clock.Sleep(uint32_t(at));
  // At the limit the wait ends by itself and the reply comes too late; before
  // it the wait goes on however long the event loop runs.
  if (accepted) {
    QTest::qWait(20);
    QVERIFY(identified.isEmpty());
  } else {
    QTRY_COMPARE(identified.size(), 1);
  }
  const QByteArray reply = "X,A.1\r\nOK\r\n";
  QVERIFY(rig.DeviceSends(reply));
  if (accepted) {
    QVERIFY(rig.PortDrained());
  } else {
    // Left at the port for whatever comes next.
    QTest::qWait(20);
    QCOMPARE(rig.QueuedAtPort(), reply.size());
  }
  QCOMPARE(identified.size(), 1);
  QCOMPARE(ResultOf(identified), accepted ? TIdentification::Answered : TIdentification::NoAnswer);
  QCOMPARE(rig.relay.VerInfo().isEmpty(), !accepted);
  ExpectNoSecondResult(clock, identified);
}

// Nothing was asked, so nothing is awaited: the attempt ends inside the call
// with the system's reason in the log, and no limit runs on.
void TestRelay::identificationEndsAtOnceWhenTheRequestIsRefused() {
  TManualClock clock;
  TRelayRig rig(clock);
  const int refusesWrites = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  QVERIFY(refusesWrites >= 0);
  rig.relay.TakeOverCOM(refusesWrites);
  QSignalSpy identified(&rig.relay, &TRelay::Identified);

  rig.relay.RequestVersionInfo(false);
  QCOMPARE(identified.size(), 1);
  QCOMPARE(ResultOf(identified), TIdentification::RequestNotWritten);
  QCOMPARE(clock.TickCount(), 0u);
  QVERIFY(rig.relay.VerInfo().isEmpty());
  const QStringList log = rig.LogTexts();
  QVERIFY2(log.contains(QStringLiteral("  Запрос VER_INFO не отправлен: Bad file descriptor")),
           qPrintable(log.join('\n')));
  ExpectNoSecondResult(clock, identified);
}

// A result code in a modem's reply is told and is no answer: the session
// closes the port on it, and the wait runs on to its limit.
void TestRelay::modemResultCodeDuringTheIdentificationEndsNoWait() {
  TManualClock clock;
  TRelayRig rig(clock);
  QVERIFY(rig.OpenPort());
  QSignalSpy identified(&rig.relay, &TRelay::Identified);
  QSignalSpy hangups(&rig.relay, &TRelay::ModemHangup);
  rig.relay.RequestVersionInfo(true);
  QVERIFY(rig.DeviceSends("\r\nNO CARRIER\r\n"));
  QVERIFY(rig.PortDrained());
  QCOMPARE(hangups.size(), 1);
  QVERIFY(identified.isEmpty());
  QVERIFY(rig.LogTexts().contains(QStringLiteral("  Завершение работы по ошибке модема")));

  clock.Sleep(TRelay::kIdentificationTimeoutMs);
  QTRY_COMPARE(identified.size(), 1);
  QCOMPARE(ResultOf(identified), TIdentification::NoAnswer);
  QVERIFY(rig.relay.VerInfo().isEmpty());
}

void TestRelay::modemHangupWords_data() {
  QTest::addColumn<QByteArray>("chunk");
  QTest::addColumn<bool>("hangup");
  QTest::newRow("BUSY line") << QByteArray("\r\nBUSY\r\n") << true;
  QTest::newRow("NO CARRIER line in lower case") << QByteArray("data\r\nno carrier\r\n") << true;
  QTest::newRow("NO DIALTONE at the start of the data") << QByteArray("NO DIALTONE\r") << true;
  QTest::newRow("NO ANSWER line") << QByteArray("\r\nNO ANSWER\r\n") << true;
  QTest::newRow("device data that contains BUSY") << QByteArray("STATE=BUSY;\r\n") << false;
  QTest::newRow("a word inside a line") << QByteArray("data NO CARRIER data\r\n") << false;
  QTest::newRow("plain data") << QByteArray("NO CARRI") << false;
}

// In a modem connection a result code in the device's bytes is told and its
// chunk dropped; the session then closes the port with the modem's hang-up.
// A cable connection relays the same bytes.
void TestRelay::modemHangupWords() {
  QFETCH(QByteArray, chunk);
  QFETCH(bool, hangup);
  for (const bool modem : {false, true}) {
    TRelayRig rig;
    QVERIFY(rig.OpenPort());
    QVERIFY(rig.ServeClients(1));
    TReceived atClient(*rig.clients.front());
    QSignalSpy hangups(&rig.relay, &TRelay::ModemHangup);
    rig.StartRelay(modem);
    QVERIFY(rig.DeviceSends(chunk));
    if (!(modem && hangup)) {
      QTRY_COMPARE(atClient.bytes, chunk);
      QCOMPARE(hangups.size(), 0);
      continue;
    }
    QTRY_COMPARE(hangups.size(), 1);
    const QStringList log = rig.LogTexts();
    QVERIFY(log.contains(QStringLiteral("  Завершение работы по ошибке модема")));
    QVERIFY(log.contains(QStringLiteral("  Последний полученный пакет:")));
    QVERIFY(rig.LogWith(QStringLiteral("COM->TCP")).isEmpty());
    // What follows still goes: the chunk was dropped, not held back.
    QVERIFY(rig.DeviceSends("after"));
    QTRY_COMPARE(atClient.bytes, QByteArray("after"));

    QSignalSpy done(&rig.teardown, &TTeardown::Done);
    rig.relay.CloseCOMPort(THangUp::ResultCode);
    QVERIFY(!rig.relay.PortOpen());
    QCOMPARE(rig.pty.Receive(4), QByteArray("ATH\r"));
    QVERIFY(done.wait(5000));
  }
}

// Device bytes that come before the setup program has connected are dropped;
// the log does not call them relayed but counts them into one line a second.
void TestRelay::deviceBytesNobodyTakesAreToldAsNotDelivered() {
  TManualClock clock;
  TRelayRig rig(clock);
  QVERIFY(rig.OpenPort());
  rig.port = FreeTcpPort();
  rig.relay.StartTCPServer(rig.port);
  rig.StartRelay();
  for (const QByteArray &chunk : {QByteArray("first"), QByteArray("second")}) {
    QVERIFY(rig.DeviceSends(chunk));
    QVERIFY(rig.PortDrained());
    QTest::qWait(3 * TRelay::kPassMs); // the stopped clock lets the bytes go at the pass only
  }
  const QString told = QStringLiteral("  Пакет не доставлен, программа настройки не подключена: 11 байт");
  QVERIFY(!rig.LogTexts().contains(told));
  clock.Sleep(TUndeliveredReport::kReportMs);
  QTRY_VERIFY2(rig.LogTexts().contains(told), qPrintable(rig.LogTexts().join('\n')));
  QCOMPARE(rig.LogTexts().filter(QStringLiteral("не доставлен")).size(), 1);
  QVERIFY(rig.LogWith(QStringLiteral("COM->TCP")).isEmpty());

  const std::unique_ptr<QTcpSocket> client = ConnectClient(rig.port);
  QVERIFY(client);
  QVERIFY(WaitUntil([&] { return rig.relay.SetupConnected(); }));
  TReceived atClient(*client);
  QVERIFY(rig.DeviceSends("third"));
  QTRY_COMPARE(atClient.bytes, QByteArray("third"));
  QCOMPARE(rig.LogWith(QStringLiteral("COM->TCP")), QStringList{QStringLiteral("third")});
}

// On a clock 40 times slower than real time a pass lasts 2 s: a block from
// the client and the device's one-byte answer to it both cross as they come,
// as a stop-and-wait upload's block and its acknowledgement do.
void TestRelay::blockAndItsOneByteAnswerCrossWithinAPass() {
  TSlowedClock slow(40);
  TRelayRig rig(slow);
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  TReceived atClient(*rig.clients.front());
  rig.StartRelay();
  const QByteArray block(1029, '\x5A');
  const uint32_t sentAt = slow.TickCount();
  QCOMPARE(rig.clients.front()->write(block), block.size());
  QCOMPARE(rig.DeviceReceives(block.size()), block);
  QVERIFY(rig.DeviceSends("\x06"));
  QTRY_COMPARE(atClient.bytes, QByteArray("\x06"));
  const uint32_t answeredAt = slow.TickCount();
  QVERIFY2(answeredAt - sentAt < TRelay::kPassMs, qPrintable(QString::number(answeredAt - sentAt)));
}

// The session drops every client when a write fails, as here; the server goes
// on listening for the setup program to come back.
void TestRelay::writeFailureIsToldAndTheServerKeepsListening() {
  TRelayRig rig;
  QVERIFY(rig.ServeClients(2));
  // A handle that refuses writes stands in for a port that failed.
  const int refusesWrites = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  QVERIFY(refusesWrites >= 0);
  rig.relay.TakeOverCOM(refusesWrites);
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  connect(&rig.relay, &TRelay::PortLost, &rig.relay, [&rig] { rig.relay.DropClientConnections(); });
  rig.relay.Start(QStringLiteral("/dev/null"), false, false, kBaudRate);

  rig.clients.front()->write("abc");
  QTRY_COMPARE(lost.size(), 1);
  QCOMPARE(lost.first().at(0).value<TPortLoss>(), TPortLoss::WriteFailed);
  QCOMPARE(lost.first().at(1).toString(), QStringLiteral("Bad file descriptor"));
  QVERIFY(rig.LogWith(QStringLiteral("TCP->COM")).isEmpty());
  QVERIFY(!rig.relay.SetupConnected());
  QTRY_VERIFY(std::all_of(rig.clients.begin(), rig.clients.end(), [](const auto &client) {
    return client->state() == QAbstractSocket::UnconnectedState;
  }));
  QVERIFY(rig.relay.ServerActive());
  const auto again = ConnectClient(rig.port);
  QVERIFY(again);
  QTRY_VERIFY(rig.relay.SetupConnected());
  QCOMPARE(lost.size(), 1);
}

// With fixed pacing the client's chunk goes at the pass. When the port
// refuses it there, the pass ends: nothing more is read from a port that is
// given up, so the device's bytes stay where they are.
void TestRelay::writeFailureInThePassLeavesThePortUnread() {
  TRelayRig rig;
  termios raw{};
  QCOMPARE(tcgetattr(rig.pty.SlaveFd(), &raw), 0);
  cfmakeraw(&raw);
  QCOMPARE(tcsetattr(rig.pty.SlaveFd(), TCSANOW, &raw), 0);
  // The port side opened for reading only: reads work, writes fail.
  const int readOnly =
      ::open(QFile::encodeName(rig.pty.Path()).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  QVERIFY(readOnly >= 0);
  rig.relay.TakeOverCOM(readOnly);
  QVERIFY(rig.ServeClients(1));
  // One byte beyond a full chunk stays in the socket once the relay holds the chunk.
  rig.clients.front()->write(QByteArray(TRelay::kDataBufferSize + 1, 'c'));
  TClientConnection *connection = rig.relay.Server().Connections().constFirst();
  QVERIFY(WaitUntil([&] { return rig.relay.Server().ReceiveLength(connection) == 1; }));
  QVERIFY(rig.DeviceSends("dev"));
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  rig.StartRelay(false, true);

  QTRY_COMPARE(lost.size(), 1);
  QCOMPARE(lost.first().at(0).value<TPortLoss>(), TPortLoss::WriteFailed);
  QCOMPARE(rig.QueuedAtPort(), 3);
  QVERIFY(rig.LogWith(QStringLiteral("COM->TCP")).isEmpty());
}

// The pass's presence check tells a port gone from the list. While it is
// away the relay reads nothing; resumed, it goes on with the same port.
void TestRelay::vanishedPortIsToldAndTheRelayResumes() {
  TRelayRig rig;
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  TReceived atClient(*rig.clients.front());
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  rig.StartRelay();
  const QString target = QFile::symLinkTarget(rig.pty.Path());
  QVERIFY(QFile::remove(rig.pty.Path()));

  QTRY_COMPARE(lost.size(), 1);
  QCOMPARE(lost.first().at(0).value<TPortLoss>(), TPortLoss::Vanished);
  QVERIFY(QFile::link(target, rig.pty.Path()));
  QVERIFY(rig.DeviceSends("back"));
  QTest::qWait(100);
  QCOMPARE(rig.QueuedAtPort(), 4);
  rig.relay.Resume();
  QTRY_COMPARE(atClient.bytes, QByteArray("back"));
  QCOMPARE(lost.size(), 1);
}

void TestRelay::serverPortRules_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("port");
  QTest::newRow("default") << "53462" << 53462;
  QTest::newRow("letters") << "abc" << 53462;
  QTest::newRow("empty") << "" << 53462;
  QTest::newRow("privileged") << "80" << 53462;
  QTest::newRow("1023") << "1023" << 53462;
  QTest::newRow("negative") << "-5" << 53462;
  QTest::newRow("above 65535") << "70000" << 53462;
  QTest::newRow("1024 kept") << "1024" << 1024;
  QTest::newRow("65535 kept") << "65535" << 65535;
}

// The port the server is started on; the dialog's text then shows it.
void TestRelay::serverPortRules() {
  QFETCH(QString, text);
  QFETCH(int, port);
  TBridgeSettings settings;
  settings.SetServerPortText(text);
  QCOMPARE(settings.TakeServerPort(), quint16(port));
  QCOMPARE(settings.ServerPortText(), QString::number(port));
}

void TestRelay::serverListensOnLoopbackOnly() {
  TRelayRig rig;
  const quint16 port = FreeTcpPort();
  rig.relay.StartTCPServer(port);
  QVERIFY(rig.relay.ServerActive());
  QCOMPARE(rig.relay.ServerPort(), port);
  QCOMPARE(rig.relay.Server().Address(), QHostAddress(QHostAddress::LocalHost));
  QTcpSocket other;
  other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), port);
  QVERIFY(!other.waitForConnected(3000));
  QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
  QVERIFY(ConnectClient(port));
}

void TestRelay::takenPortRaisesTheSocketError() {
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
  TRelayRig rig;
  try {
    rig.relay.StartTCPServer(holder.serverPort());
    QFAIL("the server started on a taken port");
  } catch (const TSocketError &error) {
    const QString text = QString::fromUtf8(error.what());
    QVERIFY2(text.startsWith(QStringLiteral("Windows socket error: ")), error.what());
    QVERIFY2(text.contains(QStringLiteral("on API 'bind'")), error.what());
  }
  QVERIFY(!rig.relay.ServerActive());
}

void TestRelay::twoClients() {
  TRelayRig rig;
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(2));
  TRelay &relay = rig.relay;
  QTcpSocket &first = *rig.clients[0];
  QTcpSocket &second = *rig.clients[1];
  TReceived atFirst(first), atSecond(second);
  rig.StartRelay();

  // Bytes from either client reach the port.
  for (QTcpSocket *client : {&first, &second}) {
    client->write("hello");
    QCOMPARE(rig.DeviceReceives(5), QByteArray("hello"));
  }
  // Bytes from the port go to the first client only.
  QVERIFY(rig.DeviceSends("dev1"));
  QTRY_COMPARE(atFirst.bytes, QByteArray("dev1"));
  // One of two leaving does not stop the relay towards the other.
  first.disconnectFromHost();
  QTRY_COMPARE(relay.Server().Connections().size(), 1);
  QVERIFY(relay.SetupConnected());
  QVERIFY(rig.DeviceSends("dev2"));
  QTRY_COMPARE(atSecond.bytes, QByteArray("dev2"));
  second.disconnectFromHost();
  QTRY_VERIFY(!relay.SetupConnected());

  // A restart closes a client without telling: until a client connects again,
  // the device's bytes are logged as having nowhere to go.
  rig.clients.push_back(ConnectClient(rig.port));
  QVERIFY(rig.clients.back());
  QTRY_VERIFY(relay.SetupConnected());
  relay.StartTCPServer(rig.port);
  QVERIFY(rig.DeviceSends("dev3"));
  QTRY_VERIFY(rig.LogTexts().contains(QStringLiteral("  Оболочка истчо не подключилась к мосту.")));
}

// A fresh line has IXON on, which would eat 0x11 and 0x13 and let a 0x13 from
// the device stop the relay's own output.
void TestRelay::everyByteValueCrossesALineAtKernelDefaults() {
  TRelayRig rig;
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  TReceived atClient(*rig.clients.front());
  rig.StartRelay();
  const QByteArray values = AllByteValues();

  QVERIFY(rig.DeviceSends(values)); // ends in 0x13, XOFF
  QTRY_COMPARE(atClient.bytes.size(), values.size());
  QCOMPARE(atClient.bytes, values);

  rig.clients.front()->write(values);
  QCOMPARE(rig.DeviceReceives(values.size()), values);
  QCOMPARE(lost.size(), 0);
}

// The relay takes at most one transfer buffer from a client at a time; what
// the client sends beyond it waits in the socket and follows, nothing dropped.
void TestRelay::largeClientBurstGoesInChunksOfTheBuffer() {
  TRelayRig rig;
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  rig.StartRelay();
  const QByteArray burst(40000, 'x');
  rig.clients.front()->write(burst);
  QCOMPARE(rig.DeviceReceives(burst.size(), 10000), burst);
  const QStringList chunks = rig.LogWith(QStringLiteral("TCP->COM"));
  QVERIFY(chunks.size() >= 2);
  qsizetype logged = 0;
  for (const QString &chunk : chunks) {
    QVERIFY(chunk.size() <= TRelay::kDataBufferSize);
    logged += chunk.size();
  }
  QCOMPARE(logged, burst.size());
}

void TestRelay::clientClosingRightAfterSendingHasAllOfItWritten_data() {
  QTest::addColumn<int>("size");
  QTest::addColumn<bool>("deviceAnswers");
  QTest::newRow("100 KiB, silent device") << 100 * 1024 << false;
  // What the device sends back must not reach the closed client: its system
  // would answer with a reset and throw away what of the upload is unread.
  QTest::newRow("1 MiB, device answering every read") << 1024 * 1024 << true;
}

// The client closes right after its upload. The close is seen at once but
// told only once all it sent is at the port.
void TestRelay::clientClosingRightAfterSendingHasAllOfItWritten() {
  QFETCH(int, size);
  QFETCH(bool, deviceAnswers);
  TRelayRig rig;
  rig.log.SetRecording(false); // a megabyte of log lines would only slow the test
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  TServerSocket &server = rig.relay.Server();
  TClientConnection *connection = server.Connections().constFirst();
  rig.StartRelay();
  const QByteArray upload = RandomBytes(size, 11);
  QTcpSocket &client = *rig.clients.front();
  client.write(upload);
  client.disconnectFromHost();

  // The device reads nothing yet, so most of the upload waits in the relay.
  QVERIFY(WaitUntil([&] { return server.PeerClosed(connection); }));
  QVERIFY(rig.relay.SetupConnected());

  QByteArray atDevice;
  QVERIFY(WaitUntil(
      [&] {
        const QByteArray read = rig.pty.ReceiveAvailable();
        if (deviceAnswers && !read.isEmpty())
          rig.pty.Send("OK\r\n");
        atDevice += read;
        return atDevice.size() >= upload.size();
      },
      60000));
  QCOMPARE(atDevice.size(), upload.size());
  QVERIFY(atDevice == upload);
  QTRY_VERIFY(!rig.relay.SetupConnected());
}

void TestRelay::fixedPacingMovesBytesOnlyAtThePass_data() {
  QTest::addColumn<bool>("fixedPacing");
  QTest::newRow("as bytes come") << false;
  QTest::newRow("fixed pacing") << true;
}

// On a clock 100 times slower than real time the relay's pass lasts 5 s, and
// with the port's link gone every pass ends by telling the loss. Bytes that
// move as they come are there long before the first pass; with fixed pacing
// both directions wait for it, so they are first seen once it has told.
void TestRelay::fixedPacingMovesBytesOnlyAtThePass() {
  QFETCH(bool, fixedPacing);
  TSlowedClock slow(100);
  TRelayRig rig(slow);
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  TReceived atClient(*rig.clients.front());
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  rig.StartRelay(false, fixedPacing);
  QVERIFY(QFile::remove(rig.pty.Path()));

  rig.clients.front()->write("ping");
  QVERIFY(rig.DeviceSends("pong"));
  QByteArray atDevice;
  qsizetype passesBeforePing = -1, passesBeforePong = -1;
  QVERIFY(WaitUntil(
      [&] {
        atDevice += rig.pty.ReceiveAvailable();
        if (passesBeforePing < 0 && atDevice == "ping")
          passesBeforePing = lost.size();
        if (passesBeforePong < 0 && atClient.bytes == "pong")
          passesBeforePong = lost.size();
        return passesBeforePing >= 0 && passesBeforePong >= 0;
      },
      30000));
  QCOMPARE(passesBeforePing, fixedPacing ? 1 : 0);
  QCOMPARE(passesBeforePong, fixedPacing ? 1 : 0);
  if (fixedPacing)
    QCOMPARE(lost.first().at(0).value<TPortLoss>(), TPortLoss::Vanished);
}

// The device reads nothing for a while: the line is full, not broken. The
// client stays connected, the device's own bytes still get through, and the
// stall is logged once when it has lasted long and once when it ends.
void TestRelay::deviceThatStopsReadingIsAStallNotAFailure() {
  // The 5 s of a stall in 1 s: long beside a pause of the test's own thread.
  TScaledClock fast(5);
  TRelayRig rig(fast);
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  QTcpSocket &client = *rig.clients.front();
  TReceived atClient(client);
  QSignalSpy lost(&rig.relay, &TRelay::PortLost);
  rig.StartRelay();
  const QByteArray upload(256 * 1024, 'u');
  client.write(upload);
  const QString stalled =
      QStringLiteral("  COM порт не принимает данные уже %1 с, ожидание").arg(TRelay::kStallReportMs / 1000);
  QVERIFY(WaitUntil([&] { return rig.LogTexts().contains(stalled); }, 20000));
  QVERIFY(rig.DeviceSends("still talking"));
  QTRY_COMPARE(atClient.bytes, QByteArray("still talking"));
  QVERIFY(rig.relay.SetupConnected());
  QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
  QCOMPARE(lost.size(), 0);

  QVERIFY(rig.DeviceReceives(upload.size(), 30000) == upload);
  const QStringList log = rig.LogTexts();
  QCOMPARE(log.count(stalled), 1);
  QCOMPARE(log.count(QStringLiteral("  COM порт снова принимает данные")), 1);
  QCOMPARE(lost.size(), 0);
}

// Both directions at once, random chunk sizes: every byte arrives exactly
// once and in order.
void TestRelay::relayStressKeepsEveryByteOnceAndInOrder() {
  TRelayRig rig;
  rig.log.SetRecording(false); // logging megabytes would only slow the test
  QVERIFY(rig.OpenPort());
  QVERIFY(rig.ServeClients(1));
  QTcpSocket &client = *rig.clients.front();
  rig.StartRelay();

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
      const ssize_t taken = ::write(rig.pty.MasterFd(), toClient.constData() + deviceSent, size_t(n));
      if (taken > 0)
        deviceSent += taken;
    }
    atDevice += rig.pty.ReceiveAvailable();
    atClient += client.readAll();
  });
  driver.start(2);
  QVERIFY2(WaitUntil([&] { return atDevice.size() >= total && atClient.size() >= total; }, 120000),
           "the relay did not move every byte in time");
  QCOMPARE(atDevice.size(), total);
  QVERIFY(atDevice == toDevice);
  QCOMPARE(atClient.size(), total);
  QVERIFY(atClient == toClient);
}

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
