// The relay's TCP side: the server the setup program connects to, its client
// notifications, and the send towards the setup program.
#include "core/Relay.h"

#include "core/LogModel.h"
#include "serial/PortWatcher.h"

#include <QTcpSocket>

#include <algorithm>

namespace {

bool IsConnected(const TClientConnection *client) {
  return client->Socket() && client->Socket()->state() == QAbstractSocket::ConnectedState;
}

} // namespace

void TRelay::StartTCPServer(quint16 port) {
  DropClientChunk();
  FServer.Open(port);
}

void TRelay::StopTCPServer() {
  FServer.Close();
  DropClientChunk();
}

std::optional<TUndelivered> TRelay::SendToSetupProgram(int32_t count) {
  if (!FSetupConnected)
    return TUndelivered::NoClient;
  const QList<TClientConnection *> clients = FServer.Connections();
  if (clients.isEmpty()) {
    FLog.WriteLog(QStringLiteral("Оболочка истчо не подключилась к мосту."));
    return TUndelivered::NoClient;
  }
  // The oldest client that is still connected gets the device's bytes.
  const auto connected = std::find_if(clients.begin(), clients.end(), IsConnected);
  if (connected == clients.end())
    return TUndelivered::NoClient;
  if (FServer.SendBuf(*connected, FDataBuffer.data(), count) != count)
    return TUndelivered::NotTaken;
  return std::nullopt;
}

void TRelay::DropClientConnections() {
  FServer.DisconnectAll();
  FSetupConnected = false;
  DropClientChunk();
}

// Clients dropped by the wizard take their unwritten bytes with them.
void TRelay::DropClientChunk() {
  FReadSocket = 0;
  FSocketWritten = 0;
  FChunkClient = nullptr;
  FChunkClientClosed = false;
  FStallSince.reset();
  FStallReported = false;
}

void TRelay::ClientChunkDelivered() {
  TClientConnection *closed = FChunkClientClosed ? FChunkClient.data() : nullptr;
  const bool reportClose = FChunkClientClosed;
  DropClientChunk();
  // A client that closed right after sending is reported gone only now that
  // all it sent has reached the port.
  if (reportClose)
    ServerSocketClientDisconnect(closed);
  FServer.RequestRead();
}

void TRelay::ServerSocketClientConnect(TClientConnection *) { FSetupConnected = true; }

void TRelay::ServerSocketClientDisconnect(TClientConnection *socket) {
  if (FReadSocket > 0 && socket != nullptr && FChunkClient == socket) {
    // A client that closed after sending has the rest of its chunk written
    // first; one dropped for an error goes at once, with its chunk.
    if (FServer.PeerClosed(socket)) {
      FChunkClientClosed = true;
      return;
    }
    DropClientChunk();
  }
  // The relay goes on while any other client is still connected.
  const QList<TClientConnection *> clients = FServer.Connections();
  FSetupConnected = std::any_of(clients.begin(), clients.end(), [&](TClientConnection *client) {
    return client != socket && IsConnected(client);
  });
}

// A client's socket error reaches the log (the server writes it) rather
// than being zeroed away; the client is closed either way.
void TRelay::ServerSocketClientError(TClientConnection *, int &) {}

void TRelay::ServerSocketClientRead(TClientConnection *socket) {
  // While a chunk waits for the port, further bytes wait in the socket.
  if (FReadSocket > 0)
    return;
  const qint64 waiting = std::min<qint64>(FServer.ReceiveLength(socket), kDataBufferSize);
  const qint64 received = waiting > 0 ? FServer.ReceiveBuf(socket, FSocketBuffer.data(), waiting) : 0;
  FReadSocket = static_cast<int32_t>(std::max<qint64>(received, 0));
  FSocketWritten = 0;
  FChunkClient = FReadSocket > 0 ? socket : nullptr;
  // The client's bytes go to the port at once; with fixed pacing at the pass.
  if (FReadSocket > 0 && RelaysAsBytesCome() && !FPortWatch->WatchingOutputRoom())
    WriteClientChunk();
}
