#pragma once
// The demo setup program's link to the bridge: a TCP client that keeps
// trying to connect while the bridge's server is down, so it survives the
// bridge restarting its server.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

class TDemoClient : public QObject {
  Q_OBJECT
public:
  static constexpr quint16 kBridgePort = 53462;
  static constexpr int kRetryMs = 500;

  explicit TDemoClient(quint16 port = kBridgePort, int retryMs = kRetryMs, QObject *parent = nullptr);
  ~TDemoClient() override;

  // Starts connecting; from then on every lost connection is retried.
  void Start();
  // Sends one request line (CR LF is added). False when not connected or the
  // socket refused the bytes, or the request is empty.
  bool SendRequest(const QString &request);
  bool IsConnected() const;
  quint16 Port() const { return FPort; }

signals:
  void ConnectedChanged(bool connected);
  void AnswerReceived(const QByteArray &bytes);

private:
  void TryConnect();
  void OnStateChanged(QAbstractSocket::SocketState state);

  QTimer FRetryTimer;
  QTcpSocket FSocket;
  quint16 FPort;
  bool FConnected = false;
};
