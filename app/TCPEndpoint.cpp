// The TCP endpoint of the main window: the server the setup program connects to.
#include "app/MainFormUnit.h"

#include "app/ServerSocket.h"
#include "ui/TPCServerSettingsUnit.h"

#include <QLineEdit>
#include <QTcpSocket>

#include <algorithm>

namespace {

constexpr int kDefaultServerPort = 53462;

// The port of the settings dialog: not a number, a privileged port or a number
// that is no TCP port at all gives the default.
int EffectiveServerPort(const QString &text) {
  bool isNumber = false;
  const int port = text.toInt(&isNumber);
  if (!isNumber || port < 1024 || port > 65535)
    return kDefaultServerPort;
  return port;
}

bool IsConnected(const TClientConnection *client) {
  return client->Socket() && client->Socket()->state() == QAbstractSocket::ConnectedState;
}

} // namespace

void TMainTandrelForm::StartTCPServer() {
  FReadSocket = 0; // a chunk of a client that is gone is not written
  QLineEdit *portEdit = TCPServerSettingsForm ? TCPServerSettingsForm->PortEdit : nullptr;
  const int port = EffectiveServerPort(portEdit ? portEdit->text() : QString());
  if (portEdit)
    portEdit->setText(QString::number(port));
  ServerSocket->Open(static_cast<quint16>(port));
}

void TMainTandrelForm::StopTCPServer() {
  ServerSocket->Close();
  FReadSocket = 0;
}

bool TMainTandrelForm::SendToSetupProgram(int32_t count) {
  if (!FSetupConnected)
    return false;
  const QList<TClientConnection *> clients = ServerSocket->Connections();
  if (clients.isEmpty()) {
    WriteLog(QStringLiteral("Оболочка истчо не подключилась к мосту."));
    return false;
  }
  // The oldest client that is still connected gets the device's bytes.
  const auto connected = std::find_if(clients.begin(), clients.end(), IsConnected);
  return connected != clients.end() && ServerSocket->SendBuf(*connected, FDataBuffer.data(), count) == count;
}

void TMainTandrelForm::DropClientConnections() {
  ServerSocket->DisconnectAll();
  FSetupConnected = false;
  FReadSocket = 0;
}

void TMainTandrelForm::ServerSocketClientConnect(TClientConnection *) { FSetupConnected = true; }

void TMainTandrelForm::ServerSocketClientDisconnect(TClientConnection *socket) {
  // The relay goes on while any other client is still connected.
  const QList<TClientConnection *> clients = ServerSocket->Connections();
  FSetupConnected = std::any_of(clients.begin(), clients.end(), [&](TClientConnection *client) {
    return client != socket && IsConnected(client);
  });
}

void TMainTandrelForm::ServerSocketClientError(TClientConnection *, int &errorCode) { errorCode = 0; }

void TMainTandrelForm::ServerSocketClientRead(TClientConnection *socket) {
  // While a chunk waits for the port, further bytes wait in the socket.
  if (FReadSocket > 0)
    return;
  const qint64 waiting = std::min<qint64>(ServerSocket->ReceiveLength(socket), kDataBufferSize);
  const qint64 received = waiting > 0 ? ServerSocket->ReceiveBuf(socket, FSocketBuffer.data(), waiting) : 0;
  FReadSocket = static_cast<int32_t>(std::max<qint64>(received, 0));
}

void TMainTandrelForm::ServerSocketRequestRead() { ServerSocket->RequestRead(); }
