#include "core/ServerSocket.h"

#include "platform/ListenSocket.h"
#include "platform/PeerOwner.h"

#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

QString AsyncErrorText(int errorCode)
{
  return QStringLiteral("Asynchronous socket error %1").arg(errorCode);
}

TTcpConnection ConnectionOf(const QTcpSocket &socket)
{
  return TTcpConnection{{socket.localAddress().toIPv4Address(), socket.localPort()},
                        {socket.peerAddress().toIPv4Address(), socket.peerPort()}};
}

QString RefusalText(const TPeerOwner &owner)
{
  if (owner.name.empty())
    return QStringLiteral("Подключение к мосту отклонено: владелец клиента не определён");
  return QStringLiteral("Подключение к мосту отклонено: клиент принадлежит другому пользователю (%1)")
      .arg(QString::fromStdString(owner.name));
}

} // namespace

TSocketError::TSocketError(int errorCode, const std::string &message, const std::string &api)
    : std::runtime_error("Windows socket error: " + message + " (" + std::to_string(errorCode) + "), on API '" + api +
                         "'"),
      FCode(errorCode)
{
}

TServerSocket::TClientConnection::TClientConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent), FSocket(socket)
{
  FSocket->setParent(this);
}

void TServerSocket::TClientConnection::Silence()
{
  QObject::disconnect(FSocket, nullptr, this, nullptr);
  FSocket->abort();
}

TServerSocket::TServerSocket(QObject *parent) : QObject(parent)
{
  connect(&FServer, &QTcpServer::newConnection, this, &TServerSocket::AcceptPending);
  connect(&FServer, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
    Log(AsyncErrorText(int(error)));
  });
}

TServerSocket::~TServerSocket()
{
  Close();
}

void TServerSocket::Open(quint16 port)
{
  Close();
  const TListenResult listening = ListenOnLoopback(port, ListenBacklog);
  if (listening.socket == -1)
    throw TSocketError(listening.errorCode, listening.errorText, listening.api);
  if (!FServer.setSocketDescriptor(listening.socket)) {
    CloseListenSocket(listening.socket);
    throw TSocketError(int(FServer.serverError()), FServer.errorString().toStdString(), "listen");
  }
}

void TServerSocket::Close()
{
  DisconnectAll();
  FServer.close();
}

bool TServerSocket::Active() const
{
  return FServer.isListening();
}

QHostAddress TServerSocket::Address() const
{
  return Active() ? FServer.serverAddress() : QHostAddress();
}

quint16 TServerSocket::Port() const
{
  return Active() ? FServer.serverPort() : 0;
}

QList<TServerSocket::TClientConnection *> TServerSocket::Connections() const
{
  return FConnections;
}

void TServerSocket::DisconnectAll()
{
  while (!FConnections.isEmpty())
    Discard(FConnections.constFirst());
}

qint64 TServerSocket::ReceiveLength(TClientConnection *c) const
{
  return Listed(c) ? c->Socket()->bytesAvailable() : 0;
}

qint64 TServerSocket::ReceiveBuf(TClientConnection *c, char *buffer, qint64 count)
{
  const qint64 waiting = ReceiveLength(c);
  const qint64 wanted = std::min(count, waiting);
  if (wanted <= 0)
    return 0;
  const qint64 received = c->Socket()->read(buffer, wanted);
  if (received > 0 && received < waiting)
    ScheduleReadNotifications();
  else if (c->FPeerClosed && ReceiveLength(c) == 0)
    ScheduleDisconnectNotification(c);
  return std::max<qint64>(received, 0);
}

qint64 TServerSocket::SendBuf(TClientConnection *c, const char *buffer, qint64 count)
{
  if (!Listed(c) || count <= 0 || c->Socket()->state() != QAbstractSocket::ConnectedState)
    return 0;
  if (c->Socket()->bytesToWrite() + count > MaxUnsentBytesPerClient) {
    DropSlowClient(c);
    return -1;
  }
  // A buffered socket takes every byte into its queue and sends it from the
  // event loop as the network accepts it. A small chunk into an empty queue
  // goes at once: that spares a pass of the event loop for each reply of a
  // device, and a client that does not read still only fills the queue.
  const bool sendAtOnce = c->Socket()->bytesToWrite() == 0 && count <= ImmediateSendBytes;
  const qint64 queued = c->Socket()->write(buffer, count);
  if (sendAtOnce) {
    // What the flush reports (a peer that reset the connection) is handled
    // from the event loop, as every notification of this class.
    FSending = true;
    c->Socket()->flush();
    FSending = false;
  }
  return c->Socket()->state() == QAbstractSocket::ConnectedState ? queued : -1;
}

bool TServerSocket::PeerClosed(TClientConnection *c) const
{
  return Listed(c) && c->FPeerClosed;
}

void TServerSocket::RequestRead()
{
  // Bytes that arrive later notify by themselves.
  if (std::any_of(FConnections.begin(), FConnections.end(), [this](TClientConnection *c) { return ReceiveLength(c) > 0; }))
    ScheduleReadNotifications();
}

// Only the user's own programs may reach the device: a client of another
// user on this machine is closed before it is listed.
void TServerSocket::AcceptPending()
{
  while (QTcpSocket *socket = FServer.nextPendingConnection()) {
    const TPeerOwner owner = PeerOwner(ConnectionOf(*socket));
    if (owner.thisUser) {
      Adopt(socket);
    } else {
      Log(RefusalText(owner));
      socket->abort();
      socket->deleteLater();
    }
  }
}

void TServerSocket::Adopt(QTcpSocket *socket)
{
  auto *c = new TClientConnection(socket, this);
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  socket->setReadBufferSize(ClientReadBufferSize);
  connect(socket, &QTcpSocket::readyRead, c, [this, c] {
    if (OnClientRead)
      OnClientRead(c);
  });
  connect(socket, &QTcpSocket::disconnected, c, [this, c] { FromEventLoop(c, [this, c] { HandlePeerClosed(c); }); });
  connect(socket, &QTcpSocket::errorOccurred, c, [this, c](QAbstractSocket::SocketError error) {
    // A peer's orderly close or reset also arrives as disconnected().
    if (error != QAbstractSocket::RemoteHostClosedError)
      FromEventLoop(c, [this, c, error] { HandleSocketError(c, int(error)); });
  });
  FConnections.append(c);
  if (OnClientConnect)
    OnClientConnect(c);
}

void TServerSocket::FromEventLoop(TClientConnection *c, const std::function<void()> &handle)
{
  if (FSending)
    QMetaObject::invokeMethod(c, handle, Qt::QueuedConnection);
  else
    handle();
}

void TServerSocket::HandlePeerClosed(TClientConnection *c)
{
  if (!Listed(c) || c->FReportedGone)
    return;
  // A client that closes right after sending must not lose what it sent: it
  // stays listed, its bytes readable, and is reported gone once they are read.
  QObject::disconnect(c->Socket(), nullptr, c, nullptr);
  c->FPeerClosed = true;
  if (ReceiveLength(c) == 0)
    NotifyDisconnected(c);
}

void TServerSocket::HandleSocketError(TClientConnection *c, int errorCode)
{
  if (OnClientError)
    OnClientError(c, TErrorEvent::eeGeneral, errorCode);
  if (errorCode != 0 && Listed(c))
    Log(QStringLiteral("Ошибка соединения с программой настройки: %1 (%2)")
            .arg(c->Socket()->errorString())
            .arg(errorCode));
  // A connection with an error is closed and reported gone, never left
  // listed as connected.
  if (!Listed(c) || c->FReportedGone)
    return;
  c->Silence();
  NotifyDisconnected(c);
}

void TServerSocket::DropSlowClient(TClientConnection *c)
{
  c->Silence();
  QMetaObject::invokeMethod(
      c,
      [this, c] {
        if (!Listed(c))
          return;
        Log(QStringLiteral("Клиент не успевает принимать данные, соединение закрыто"));
        NotifyDisconnected(c);
      },
      Qt::QueuedConnection);
}

void TServerSocket::ScheduleDisconnectNotification(TClientConnection *c)
{
  QMetaObject::invokeMethod(
      c,
      [this, c] {
        if (Listed(c))
          NotifyDisconnected(c);
      },
      Qt::QueuedConnection);
}

void TServerSocket::NotifyDisconnected(TClientConnection *c)
{
  c->FReportedGone = true;
  if (OnClientDisconnect)
    OnClientDisconnect(c);
  ScheduleDiscard(c);
}

void TServerSocket::ScheduleDiscard(TClientConnection *c)
{
  QMetaObject::invokeMethod(c, [this, c] { Discard(c); }, Qt::QueuedConnection);
}

void TServerSocket::Discard(TClientConnection *c)
{
  if (FConnections.removeOne(c)) {
    c->Silence();
    c->deleteLater();
  }
}

void TServerSocket::ScheduleReadNotifications()
{
  if (FReadNotificationsScheduled)
    return;
  FReadNotificationsScheduled = true;
  QMetaObject::invokeMethod(this, &TServerSocket::NotifyWaitingReads, Qt::QueuedConnection);
}

void TServerSocket::NotifyWaitingReads()
{
  FReadNotificationsScheduled = false;
  // A handler may close or discard clients; walk a snapshot and skip those.
  const QList<TClientConnection *> snapshot = FConnections;
  for (TClientConnection *c : snapshot) {
    if (OnClientRead && ReceiveLength(c) > 0)
      OnClientRead(c);
  }
}

void TServerSocket::Log(const QString &line)
{
  if (OnLog)
    OnLog(line);
}

bool TServerSocket::Listed(TClientConnection *c) const
{
  return c != nullptr && FConnections.contains(c);
}
