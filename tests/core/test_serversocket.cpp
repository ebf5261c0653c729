// TServerSocket against real QTcpSocket clients on the loopback interface.

#include "core/ServerSocket.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using TConn = TServerSocket::TClientConnection;

namespace {

constexpr int WaitMs = 10000;
constexpr qint64 Chunk = 32768;

// Every notification of one server, in arrival order.
struct TRecorder {
  explicit TRecorder(TServerSocket &server) : Server(server)
  {
    server.OnClientConnect = [this](TConn *c) { Connects.append(c); };
    server.OnClientRead = [this](TConn *c) { Reads.append(c); };
    server.OnClientDisconnect = [this](TConn *c) {
      Disconnects.append(c);
      Order.append(QStringLiteral("disconnect"));
      SendOnDisconnect = Server.SendBuf(c, "x", 1);
      ListedOnDisconnect = Server.Connections().contains(c);
      WaitingOnDisconnect = Server.ReceiveLength(c);
    };
    server.OnClientError = [this](TConn *c, TErrorEvent, int &code) {
      Errors.append(c);
      Order.append(QStringLiteral("error"));
      if (ZeroErrorCode)
        code = 0;
    };
    server.OnLog = [this](const QString &line) { Logs.append(line); };
  }

  TServerSocket &Server;
  QList<TConn *> Connects, Reads, Disconnects, Errors;
  QStringList Order, Logs;
  bool ZeroErrorCode = true;
  qint64 SendOnDisconnect = -2;
  bool ListedOnDisconnect = false;
  qint64 WaitingOnDisconnect = -1;
};

std::unique_ptr<QTcpSocket> ConnectClient(const QHostAddress &address, quint16 port)
{
  auto client = std::make_unique<QTcpSocket>();
  client->connectToHost(address, port);
  client->waitForConnected(WaitMs);
  return client;
}

// Connects a client and waits until the server has accepted it.
std::unique_ptr<QTcpSocket> AcceptClient(TServerSocket &server, TRecorder &recorder)
{
  const qsizetype before = recorder.Connects.size();
  auto client = ConnectClient(QHostAddress(QHostAddress::LocalHost), server.Port());
  if (client->state() == QAbstractSocket::ConnectedState) {
    QElapsedTimer timer;
    timer.start();
    while (recorder.Connects.size() == before && timer.elapsed() < WaitMs)
      QTest::qWait(10);
  }
  return client;
}

// A listening server with one accepted client.
struct TOneClient {
  TOneClient()
  {
    Server.Open(0);
    Client = AcceptClient(Server, Recorder);
    Connection = Recorder.Connects.value(0);
  }

  TServerSocket Server;
  TRecorder Recorder{Server};
  std::unique_ptr<QTcpSocket> Client;
  TConn *Connection = nullptr;
};

QByteArray Pattern(qint64 size)
{
  QByteArray bytes(size, Qt::Uninitialized);
  for (qint64 i = 0; i < size; ++i)
    bytes[i] = char((i * 7 + i / 251) % 256);
  return bytes;
}

// Reads from client until total bytes arrived or the wait runs out.
QByteArray ReadAll(QTcpSocket &client, qint64 total)
{
  QByteArray received;
  QElapsedTimer timer;
  timer.start();
  while (received.size() < total && timer.elapsed() < 60000) {
    QCoreApplication::processEvents();
    client.waitForReadyRead(50);
    received += client.readAll();
  }
  return received;
}

int NoDelayOf(const QTcpSocket *socket)
{
  int value = -1;
  socklen_t length = sizeof value;
  if (::getsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0)
    return -1;
  return value;
}

} // namespace

class TestServerSocket : public QObject {
  Q_OBJECT

private slots:
  void acceptsInOrderWithNoDelay();
  void closedClientLeavesAtNextEventProcessing();
  void readNotificationsAreQueuedNotNested();
  void largeChunkIsTakenInTwoReads();
  void closeAndDisconnectAllAreSilent_data();
  void closeAndDisconnectAllAreSilent();
  void takenPortReportsBind();
  void listensOnLoopbackOnly_data();
  void listensOnLoopbackOnly();
  void slowReaderGetsEveryByteInOrder();
  void clientPastSendBoundIsDropped();
  void goneConnectionCarriesNoData();
  void clientErrorGoesToHandlerThenCloses_data();
  void clientErrorGoesToHandlerThenCloses();
  void clientOfAnotherUserIsRefused();
};

void TestServerSocket::acceptsInOrderWithNoDelay()
{
  TServerSocket server;
  TRecorder recorder(server);
  server.Open(0);
  QVERIFY(server.Active());

  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(AcceptClient(server, recorder));
    QCOMPARE(recorder.Connects.size(), i + 1);
  }
  QCOMPARE(server.Connections(), recorder.Connects);
  for (int i = 0; i < 3; ++i) {
    QTcpSocket *accepted = server.Connections()[i]->Socket();
    QCOMPARE(accepted->peerPort(), clients[i]->localPort());
    QCOMPARE(NoDelayOf(accepted), 1);
  }
}

void TestServerSocket::closedClientLeavesAtNextEventProcessing()
{
  TServerSocket server;
  TRecorder recorder(server);
  server.Open(0);
  auto oldest = AcceptClient(server, recorder);
  auto second = AcceptClient(server, recorder);
  QCOMPARE(recorder.Connects.size(), 2);
  TConn *first = recorder.Connects[0];

  oldest->disconnectFromHost();
  QTRY_COMPARE_WITH_TIMEOUT(recorder.Disconnects, QList<TConn *>{first}, WaitMs);
  // Still listed when notified, but it takes no data any more.
  QVERIFY(recorder.ListedOnDisconnect);
  QCOMPARE(recorder.SendOnDisconnect, 0);
  QTRY_COMPARE_WITH_TIMEOUT(server.Connections(), QList<TConn *>{recorder.Connects[1]}, WaitMs);
  QCOMPARE(second->state(), QAbstractSocket::ConnectedState);
}

void TestServerSocket::readNotificationsAreQueuedNotNested()
{
  TOneClient f;
  QVERIFY(f.Connection);

  f.Client->write("hello");
  QTRY_VERIFY_WITH_TIMEOUT(!f.Recorder.Reads.isEmpty(), WaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(f.Server.ReceiveLength(f.Connection), 5, WaitMs);

  // A reader that paused asks again; the notification comes from the event
  // loop, not from inside the call.
  f.Recorder.Reads.clear();
  f.Server.RequestRead();
  QVERIFY(f.Recorder.Reads.isEmpty());
  QCoreApplication::processEvents();
  QCOMPARE(f.Recorder.Reads, QList<TConn *>{f.Connection});

  char buffer[16] = {};
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer, sizeof buffer), 5);
  QCOMPARE(QByteArray(buffer, 5), QByteArray("hello"));

  // Nothing waiting: nothing to notify.
  f.Recorder.Reads.clear();
  f.Server.RequestRead();
  QCoreApplication::processEvents();
  QVERIFY(f.Recorder.Reads.isEmpty());
}

void TestServerSocket::largeChunkIsTakenInTwoReads()
{
  TOneClient f;
  QVERIFY(f.Connection);

  const QByteArray sent = Pattern(40000);
  f.Client->write(sent);
  QTRY_COMPARE_WITH_TIMEOUT(f.Server.ReceiveLength(f.Connection), 40000, WaitMs);

  QByteArray buffer(Chunk, '\0');
  f.Recorder.Reads.clear();
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer.data(), Chunk), Chunk);
  QByteArray received = buffer;
  // The rest is notified again without new data arriving.
  QTRY_COMPARE_WITH_TIMEOUT(f.Recorder.Reads, QList<TConn *>{f.Connection}, WaitMs);
  QCOMPARE(f.Server.ReceiveLength(f.Connection), 7232);
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer.data(), Chunk), 7232);
  received += buffer.left(7232);
  QCOMPARE(received, sent);
  QCOMPARE(f.Server.ReceiveLength(f.Connection), 0);
}

void TestServerSocket::closeAndDisconnectAllAreSilent_data()
{
  QTest::addColumn<bool>("stopListening");
  QTest::newRow("Close") << true;
  QTest::newRow("DisconnectAll") << false;
}

void TestServerSocket::closeAndDisconnectAllAreSilent()
{
  QFETCH(bool, stopListening);
  TServerSocket server;
  TRecorder recorder(server);
  server.Open(0);
  const quint16 port = server.Port();
  auto first = AcceptClient(server, recorder);
  auto second = AcceptClient(server, recorder);
  QCOMPARE(server.Connections().size(), 2);
  const QList<TConn *> dropped = server.Connections();

  if (stopListening)
    server.Close();
  else
    server.DisconnectAll();

  QVERIFY(server.Connections().isEmpty());
  QCOMPARE(server.Active(), !stopListening);
  QTRY_COMPARE_WITH_TIMEOUT(first->state(), QAbstractSocket::UnconnectedState, WaitMs);
  QTRY_COMPARE_WITH_TIMEOUT(second->state(), QAbstractSocket::UnconnectedState, WaitMs);
  QCoreApplication::processEvents();
  QVERIFY(recorder.Disconnects.isEmpty());
  QCOMPARE(server.SendBuf(dropped[0], "x", 1), 0);

  auto late = ConnectClient(QHostAddress(QHostAddress::LocalHost), port);
  if (stopListening) {
    QCOMPARE(late->error(), QAbstractSocket::ConnectionRefusedError);
  } else {
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Connects.size(), 3, WaitMs);
    QCOMPARE(server.Connections(), QList<TConn *>{recorder.Connects[2]});
  }
}

void TestServerSocket::takenPortReportsBind()
{
  QTcpServer other;
  QVERIFY(other.listen(QHostAddress::LocalHost, 0));

  TServerSocket server;
  const QString expected = QStringLiteral("Windows socket error: %1 (%2), on API 'bind'")
                               .arg(QString::fromLocal8Bit(std::strerror(EADDRINUSE)))
                               .arg(EADDRINUSE);
  try {
    server.Open(other.serverPort());
    QFAIL("Open succeeded on a port that another listener holds");
  } catch (const TSocketError &error) {
    QCOMPARE(QString::fromLocal8Bit(error.what()), expected);
    QCOMPARE(error.Code(), EADDRINUSE);
  }
  QVERIFY(!server.Active());

  // The failure leaves the server usable.
  server.Open(0);
  QVERIFY(server.Active());
}

void TestServerSocket::listensOnLoopbackOnly_data()
{
  // Only loopback addresses are probed: 127.0.0.2 and ::1 reach a server that
  // listens on every address, but not one bound to 127.0.0.1.
  QTest::addColumn<QString>("address");
  QTest::addColumn<bool>("reachable");
  QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
  QTest::newRow("127.0.0.2") << "127.0.0.2" << false;
  QTest::newRow("::1") << "::1" << false;
}

void TestServerSocket::listensOnLoopbackOnly()
{
  QFETCH(QString, address);
  QFETCH(bool, reachable);
  TServerSocket server;
  TRecorder recorder(server);
  server.Open(0);
  QCOMPARE(server.Address(), QHostAddress(QHostAddress::LocalHost));

  auto client = ConnectClient(QHostAddress(address), server.Port());
  QCOMPARE(client->state() == QAbstractSocket::ConnectedState, reachable);
  if (reachable)
    QTRY_COMPARE_WITH_TIMEOUT(recorder.Connects.size(), 1, WaitMs);
}

void TestServerSocket::slowReaderGetsEveryByteInOrder()
{
  TOneClient f;
  QVERIFY(f.Connection);
  // The client takes only a little from the network while it does not read.
  f.Client->setReadBufferSize(16 * 1024);

  const QByteArray sent = Pattern(3 * 1024 * 1024);
  for (qint64 offset = 0; offset < sent.size(); offset += Chunk)
    QCOMPARE(f.Server.SendBuf(f.Connection, sent.constData() + offset, Chunk), Chunk);
  // Far more than the network takes at once waits in the queue.
  QVERIFY(f.Connection->Socket()->bytesToWrite() > 1024 * 1024);

  f.Client->setReadBufferSize(0);
  QCOMPARE(ReadAll(*f.Client, sent.size()), sent);
  QVERIFY(f.Recorder.Disconnects.isEmpty());
}

void TestServerSocket::clientPastSendBoundIsDropped()
{
  TOneClient f;
  QVERIFY(f.Connection);
  f.Client->setReadBufferSize(16 * 1024);

  const QByteArray chunk = Pattern(Chunk);
  qint64 accepted = 0;
  qint64 result = Chunk;
  for (int i = 0; i < 1000 && result == Chunk; ++i) {
    result = f.Server.SendBuf(f.Connection, chunk.constData(), Chunk);
    if (result > 0)
      accepted += result;
  }
  QCOMPARE(result, -1);
  QVERIFY(accepted > TServerSocket::MaxUnsentBytesPerClient - Chunk);
  // The drop is reported from the event loop, not from inside SendBuf.
  QVERIFY(f.Recorder.Disconnects.isEmpty());
  QVERIFY(f.Recorder.Logs.isEmpty());

  QTRY_COMPARE_WITH_TIMEOUT(f.Recorder.Disconnects, QList<TConn *>{f.Connection}, WaitMs);
  QCOMPARE(f.Recorder.Logs,
           QStringList{QStringLiteral("Клиент не успевает принимать данные, соединение закрыто")});
  QCOMPARE(f.Recorder.SendOnDisconnect, 0);
  QTRY_COMPARE_WITH_TIMEOUT(f.Client->state(), QAbstractSocket::UnconnectedState, WaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(f.Server.Connections().isEmpty(), WaitMs);
}

void TestServerSocket::goneConnectionCarriesNoData()
{
  TOneClient f;
  QVERIFY(f.Connection);

  // A client that closes right after sending stays listed with its last
  // bytes readable, however long the reader pauses; its close is reported
  // once they have been read, and then it goes.
  f.Client->write("bye");
  f.Client->disconnectFromHost();
  QTRY_COMPARE_WITH_TIMEOUT(f.Client->state(), QAbstractSocket::UnconnectedState, WaitMs);
  QTest::qWait(100);
  QVERIFY(f.Recorder.Disconnects.isEmpty());
  QVERIFY(f.Server.Connections().contains(f.Connection));
  QCOMPARE(f.Server.ReceiveLength(f.Connection), 3);
  char buffer[8];
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer, 2), 2);
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer + 2, 6), 1);
  QCOMPARE(QByteArray(buffer, 3), QByteArray("bye"));
  QVERIFY(f.Recorder.Disconnects.isEmpty()); // reported from the event loop
  QTRY_COMPARE_WITH_TIMEOUT(f.Recorder.Disconnects, QList<TConn *>{f.Connection}, WaitMs);
  QCOMPARE(f.Recorder.WaitingOnDisconnect, 0);
  QCOMPARE(f.Recorder.SendOnDisconnect, 0);

  QTRY_VERIFY_WITH_TIMEOUT(f.Server.Connections().isEmpty(), WaitMs);
  QCOMPARE(f.Server.SendBuf(f.Connection, "x", 1), 0);
  QCOMPARE(f.Server.ReceiveLength(f.Connection), 0);
  QCOMPARE(f.Server.ReceiveBuf(f.Connection, buffer, sizeof buffer), 0);
  QCOMPARE(f.Server.SendBuf(nullptr, "x", 1), 0);
}

void TestServerSocket::clientErrorGoesToHandlerThenCloses_data()
{
  QTest::addColumn<bool>("zeroCode");
  QTest::addColumn<bool>("logged");
  QTest::newRow("zeroed") << true << false;
  QTest::newRow("left set") << false << true;
}

void TestServerSocket::clientErrorGoesToHandlerThenCloses()
{
  QFETCH(bool, zeroCode);
  QFETCH(bool, logged);
  TOneClient f;
  QVERIFY(f.Connection);
  f.Recorder.ZeroErrorCode = zeroCode;

  // Loopback gives no network failure on demand; raise one as the socket would.
  emit f.Connection->Socket()->errorOccurred(QAbstractSocket::NetworkError);

  QCOMPARE(f.Recorder.Errors, QList<TConn *>{f.Connection});
  QCOMPARE(f.Recorder.Order, (QStringList{QStringLiteral("error"), QStringLiteral("disconnect")}));
  if (logged) {
    // The socket's own words for the error, and its code.
    QCOMPARE(f.Recorder.Logs.size(), 1);
    const QString line = f.Recorder.Logs.first();
    QVERIFY2(line.startsWith(QStringLiteral("Ошибка соединения с программой настройки: ")), qPrintable(line));
    QVERIFY2(line.endsWith(QStringLiteral(" (%1)").arg(int(QAbstractSocket::NetworkError))), qPrintable(line));
  } else {
    QVERIFY(f.Recorder.Logs.isEmpty());
  }
  QTRY_COMPARE_WITH_TIMEOUT(f.Client->state(), QAbstractSocket::UnconnectedState, WaitMs);
  QTRY_VERIFY_WITH_TIMEOUT(f.Server.Connections().isEmpty(), WaitMs);
}

// Another local user's program connects first; it is closed unheard, named in
// the log, and the user's own client is still taken.
void TestServerSocket::clientOfAnotherUserIsRefused()
{
  const passwd *nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody)
    QSKIP("a client of another user needs root to start it as nobody");
  TServerSocket server;
  TRecorder recorder(server);
  server.Open(0);
  QProcess intruder;
  intruder.setProcessChannelMode(QProcess::MergedChannels);
  intruder.start(QStringLiteral("setpriv"),
                 {QStringLiteral("--reuid=%1").arg(nobody->pw_uid), QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                  QStringLiteral("--clear-groups"), QStringLiteral("bash"), QStringLiteral("-c"),
                  QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/$0 || exit 9; printf intruder >&3; read -r -t 20 -u 3; "
                                 "echo ended"),
                  QString::number(server.Port())});
  const auto stopIntruder = qScopeGuard([&] {
    intruder.kill();
    intruder.waitForFinished(WaitMs);
  });
  QTRY_VERIFY_WITH_TIMEOUT(!recorder.Logs.isEmpty(), WaitMs);
  QCOMPARE(recorder.Logs,
           QStringList{QStringLiteral("Подключение к мосту отклонено: клиент принадлежит другому пользователю (uid %1)")
                           .arg(nobody->pw_uid)});
  // Its connection was closed: its read ended long before its own bound.
  QTRY_COMPARE_WITH_TIMEOUT(intruder.state(), QProcess::NotRunning, WaitMs);
  const QByteArray output = intruder.readAll();
  QVERIFY2(output.endsWith("ended\n"), output.constData());
  QVERIFY(recorder.Connects.isEmpty());
  QVERIFY(recorder.Reads.isEmpty());
  QVERIFY(server.Connections().isEmpty());

  auto own = AcceptClient(server, recorder);
  QCOMPARE(recorder.Connects.size(), 1);
}

QTEST_GUILESS_MAIN(TestServerSocket)
#include "test_serversocket.moc"
