#include "BridgeTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QThread>

quint16 FreeTcpPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

std::unique_ptr<QTcpSocket> ConnectClient(quint16 port, int timeoutMs) {
  auto client = std::make_unique<QTcpSocket>();
  client->connectToHost(QHostAddress::LocalHost, port);
  if (!WaitUntil([&] { return client->state() == QAbstractSocket::ConnectedState; }, timeoutMs))
    return nullptr;
  return client;
}

QByteArray ReadExactly(QTcpSocket &client, qsizetype count, int timeoutMs) {
  QByteArray received;
  WaitUntil(
      [&] {
        received.append(client.read(count - received.size()));
        return received.size() >= count;
      },
      timeoutMs);
  return received;
}

bool WaitUntil(const std::function<bool()> &condition, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!condition()) {
    if (deadline.hasExpired())
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(1);
  }
  return true;
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
  QRandomGenerator random(seed);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char &byte : bytes)
    byte = char(random.bounded(256));
  return bytes;
}

QByteArray AllByteValues() {
  QByteArray bytes;
  for (int value = 0; value < 256; ++value)
    bytes.append(static_cast<char>(value));
  return bytes;
}

QByteArray MinimalPeImage() {
  QByteArray image(0x40, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40; // the PE header follows the DOS header
  return image + QByteArray("PE\0\0", 4) + QByteArray(20, '\0');
}
