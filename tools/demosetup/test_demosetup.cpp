// The demo setup program against a stand-in bridge server on loopback.

#include "DemoClient.h"
#include "DemoWindow.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int RetryMs = 20;
constexpr int WaitMs = 5000;

// A loopback port that was free a moment ago, so the client can be started
// before anything listens there.
quint16 FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// The bridge's side: listens on demand and keeps the newest client.
class TFakeBridge {
public:
  explicit TFakeBridge(quint16 port) : FPort(port) {}

  bool Listen() { return FServer.listen(QHostAddress::LocalHost, FPort); }
  // Drops the client and stops listening, as the bridge does when it restarts its server.
  void Stop() {
    if (FClient)
      FClient->abort();
    FServer.close();
  }
  // Both ends live on this thread: every wait keeps the event loop running.
  bool WaitForClient() {
    if (!QTest::qWaitFor([this] { return FServer.hasPendingConnections(); }, WaitMs))
      return false;
    FClient = FServer.nextPendingConnection();
    return FClient != nullptr;
  }
  QByteArray ReadUntil(const QByteArray &ending) {
    QByteArray bytes;
    // A timeout shows as a short result in the caller's comparison.
    static_cast<void>(QTest::qWaitFor(
        [&] {
          bytes += FClient->readAll();
          return bytes.endsWith(ending);
        },
        WaitMs));
    return bytes;
  }
  void Answer(const QByteArray &bytes) {
    FClient->write(bytes);
    FClient->flush();
  }

private:
  quint16 FPort;
  QTcpServer FServer;
  QTcpSocket *FClient = nullptr;
};

} // namespace

class TDemoSetupTest : public QObject {
  Q_OBJECT
private slots:
  void connectsWhenTheServerComesUpAndAgainAfterARestart();
  void requestButtonsSendProtocolLines_data();
  void requestButtonsSendProtocolLines();
  void answersInPiecesAreShownWhole();
  void withoutBridgeNothingIsSent();
};

void TDemoSetupTest::connectsWhenTheServerComesUpAndAgainAfterARestart() {
  const quint16 port = FreePort();
  TDemoClient client(port, RetryMs);
  QSignalSpy changes(&client, &TDemoClient::ConnectedChanged);
  client.Start();
  QTest::qWait(5 * RetryMs); // a few refused attempts
  QVERIFY(!client.IsConnected());

  TFakeBridge bridge(port);
  QVERIFY(bridge.Listen());
  QVERIFY(bridge.WaitForClient());
  QTRY_VERIFY_WITH_TIMEOUT(client.IsConnected(), WaitMs);

  bridge.Stop();
  QTRY_VERIFY_WITH_TIMEOUT(!client.IsConnected(), WaitMs);
  QTest::qWait(5 * RetryMs);
  QVERIFY(bridge.Listen());
  QVERIFY(bridge.WaitForClient());
  QTRY_VERIFY_WITH_TIMEOUT(client.IsConnected(), WaitMs);
  QVERIFY(client.SendRequest(QStringLiteral("PING")));
  QCOMPARE(bridge.ReadUntil("\r\n"), QByteArray("PING\r\n"));

  const QList<bool> expected{true, false, true};
  QCOMPARE(changes.size(), expected.size());
  for (qsizetype i = 0; i < expected.size(); ++i)
    QCOMPARE(changes[i].first().toBool(), expected[i]);
}

void TDemoSetupTest::requestButtonsSendProtocolLines_data() {
  QTest::addColumn<QString>("action");
  QTest::addColumn<QByteArray>("line");
  QTest::newRow("PING") << "PING" << QByteArray("PING\r\n");
  QTest::newRow("GET serial") << "GET serial" << QByteArray("GET serial\r\n");
  QTest::newRow("GET firmware") << "GET firmware" << QByteArray("GET firmware\r\n");
  QTest::newRow("SET template edited") << "SET" << QByteArray("SET name Насос 1\r\n");
  QTest::newRow("typed request") << "typed" << QByteArray("GET uptime\r\n");
}

void TDemoSetupTest::requestButtonsSendProtocolLines() {
  QFETCH(QString, action);
  QFETCH(QByteArray, line);
  const quint16 port = FreePort();
  TFakeBridge bridge(port);
  QVERIFY(bridge.Listen());
  TDemoClient client(port, RetryMs);
  TDemoWindow window(&client);
  client.Start();
  QVERIFY(bridge.WaitForClient());
  QTRY_VERIFY_WITH_TIMEOUT(window.PingButton->isEnabled(), WaitMs);

  if (action == "SET") {
    window.SetButton->click();
    QCOMPARE(window.RequestEdit->selectedText(), QStringLiteral("name value"));
    window.RequestEdit->insert(QStringLiteral("name Насос 1")); // replaces the selection
    QTest::keyClick(window.RequestEdit, Qt::Key_Return);
  } else if (action == "typed") {
    window.RequestEdit->setText(QStringLiteral("  GET uptime "));
    window.SendButton->click();
  } else {
    for (QPushButton *button : {window.PingButton, window.SerialButton, window.FirmwareButton})
      if (button->text() == action)
        button->click();
  }
  QCOMPARE(bridge.ReadUntil("\r\n"), QString::fromUtf8(line).toLocal8Bit());
  QVERIFY(window.RequestEdit->text().isEmpty()); // a typed line is cleared once sent
}

void TDemoSetupTest::answersInPiecesAreShownWhole() {
  const quint16 port = FreePort();
  TFakeBridge bridge(port);
  QVERIFY(bridge.Listen());
  TDemoClient client(port, RetryMs);
  TDemoWindow window(&client);
  client.Start();
  QVERIFY(bridge.WaitForClient());
  bridge.Answer("serial=SN0");
  QTRY_VERIFY_WITH_TIMEOUT(window.AnswersView->toPlainText().contains("serial=SN0"), WaitMs);
  bridge.Answer("00001\r\nPONG\r\n");
  QTRY_COMPARE_WITH_TIMEOUT(window.AnswersView->toPlainText(), QStringLiteral("serial=SN000001\nPONG\n"), WaitMs);
}

void TDemoSetupTest::withoutBridgeNothingIsSent() {
  TDemoClient client(FreePort(), RetryMs);
  TDemoWindow window(&client);
  client.Start();
  QVERIFY(!window.PingButton->isEnabled());
  QVERIFY(!window.SendButton->isEnabled());
  QVERIFY(!client.SendRequest(QStringLiteral("PING")));
  window.RequestEdit->setText(QStringLiteral("PING"));
  QTest::keyClick(window.RequestEdit, Qt::Key_Return);
  QCOMPARE(window.RequestEdit->text(), QStringLiteral("PING")); // kept for a later try
  QVERIFY(window.AnswersView->toPlainText().contains(QStringLiteral("не отправлен")));
  QVERIFY(!window.AnswersView->toPlainText().contains(QStringLiteral("> PING")));
}

QTEST_MAIN(TDemoSetupTest)
#include "test_demosetup.moc"
