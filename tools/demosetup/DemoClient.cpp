#include "DemoClient.h"

#include <QHostAddress>

TDemoClient::TDemoClient(quint16 port, int retryMs, QObject *parent) : QObject(parent), FPort(port) {
  FRetryTimer.setSingleShot(true);
  FRetryTimer.setInterval(retryMs);
  connect(&FRetryTimer, &QTimer::timeout, this, &TDemoClient::TryConnect);
  connect(&FSocket, &QAbstractSocket::stateChanged, this, &TDemoClient::OnStateChanged);
  connect(&FSocket, &QIODevice::readyRead, this, [this] { emit AnswerReceived(FSocket.readAll()); });
}

// Closing the socket on the way out must not schedule another attempt.
TDemoClient::~TDemoClient() { FSocket.disconnect(this); }

void TDemoClient::Start() { TryConnect(); }

void TDemoClient::TryConnect() { FSocket.connectToHost(QHostAddress(QHostAddress::LocalHost), FPort); }

bool TDemoClient::IsConnected() const { return FConnected; }

bool TDemoClient::SendRequest(const QString &request) {
  if (!FConnected || request.isEmpty())
    return false;
  const QByteArray line = request.toLocal8Bit() + "\r\n";
  return FSocket.write(line) == line.size();
}

// A refused attempt and a dropped connection both end in the unconnected
// state: either way the next attempt follows after the retry pause.
void TDemoClient::OnStateChanged(QAbstractSocket::SocketState state) {
  const bool connected = state == QAbstractSocket::ConnectedState;
  if (connected != FConnected) {
    FConnected = connected;
    emit ConnectedChanged(connected);
  }
  if (state == QAbstractSocket::UnconnectedState)
    FRetryTimer.start();
}
