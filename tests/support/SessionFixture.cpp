#include "SessionFixture.h"

#include "BridgeTestSupport.h"
#include "LogEntries.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>

TSessionFixture::TSessionFixture(TSimProcess::TKind kind, const QStringList &simArgs, TClock &clock,
                                 const QByteArray &setupIni)
    : device(kind, simArgs), session(Environment(clock), log, settings) {
  WriteFile(Path(QStringLiteral("exe/setup.ini")), setupIni);
  AddProgram(QStringLiteral("prog"), "#!/bin/sh\nexec sleep 120\n");
  port = FreeTcpPort();
  settings.SetServerPortText(QString::number(port));
  const bool modem = kind == TSimProcess::TKind::Modem;
  choice = TConnectChoice{modem ? TSession::kModemType : TSession::kCableType, device.linkPath(),
                          modem ? QStringLiteral("+7 900 123") : QString()};
  QObject::connect(&session, &TSession::BoxRequested, &session, [this](const TPrompt &prompt) {
    prompts.append(prompt);
    if (closeBoxes)
      QMetaObject::invokeMethod(&session, [this] { session.BoxClosed(); }, Qt::QueuedConnection);
  });
}

TSessionEnvironment TSessionFixture::Environment(TClock &clock) {
  for (const char *folder : {"sys/class/tty", "dev", "exe", "config", "run"})
    QDir(FFolder.path()).mkpath(QLatin1String(folder));
  const QString runtime = Path(QStringLiteral("run"));
  QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
  TPortSystem ports;
  ports.sysfsRoot = Path(QStringLiteral("sys")).toStdString();
  ports.devRoot = Path(QStringLiteral("dev")).toStdString();
  ports.extraPorts = device.linkPath().toStdString();
  return TSessionEnvironment{&clock, ports, StorePath(), SetupFolder()};
}

bool TSessionFixture::AddProgram(const QString &name, const QByteArray &contents) const {
  const QString path = Path(QStringLiteral("exe/") + name);
  return WriteFile(path, contents) &&
         QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList TSessionFixture::LogTexts() const { return EntriesAfterStamps(log.Entries()); }

bool TSessionFixture::ClientConnected() {
  if (!client || client->state() == QAbstractSocket::UnconnectedState)
    client = ConnectClient(port, 200);
  return client && session.Relay().SetupConnected();
}
