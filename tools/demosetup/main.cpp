// Demo setup program: started by the wizard with no arguments, it talks to
// the simulated device through the bridge's local TCP server.

#include "DemoClient.h"
#include "DemoWindow.h"

#include <QApplication>
#include <QFile>

namespace {

// With DEMOSETUP_TRANSCRIPT naming a file, the link's changes and the
// device's answers are appended there as they come: a record of the session
// that a script can read.
void KeepTranscript(TDemoClient &client, const QString &path) {
  auto *file = new QFile(path, &client);
  if (!file->open(QIODevice::Append)) {
    qWarning("Cannot write the transcript %s: %s", qPrintable(path), qPrintable(file->errorString()));
    return;
  }
  const auto append = [file](const QByteArray &bytes) {
    file->write(bytes);
    file->flush();
  };
  QObject::connect(&client, &TDemoClient::ConnectedChanged, file,
                   [append](bool connected) { append(connected ? "connected\n" : "disconnected\n"); });
  QObject::connect(&client, &TDemoClient::AnswerReceived, file, append);
}

// The bridge's port: DEMOSETUP_PORT when set (for a run beside another
// wizard), else the bridge's default.
quint16 BridgePort() {
  bool isNumber = false;
  const uint port = qEnvironmentVariable("DEMOSETUP_PORT").toUInt(&isNumber);
  return isNumber && port > 0 && port <= 65535 ? static_cast<quint16>(port) : TDemoClient::kBridgePort;
}

} // namespace

int main(int argc, char **argv) {
  QApplication application(argc, argv);
  TDemoClient client(BridgePort());
  const QString transcript = qEnvironmentVariable("DEMOSETUP_TRANSCRIPT");
  if (!transcript.isEmpty())
    KeepTranscript(client, transcript);
  TDemoWindow window(&client);
  window.show();
  client.Start();
  return application.exec();
}
