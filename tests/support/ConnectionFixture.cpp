#include "ConnectionFixture.h"

#include "ui/TPCServerSettingsUnit.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>

#include <csignal>

TScenario &TScenario::Then(const QString &what, TStep step) {
  FSteps.append({what, std::move(step)});
  return *this;
}

void TScenario::Start(TMainTandrelForm &form, int timeoutMs) {
  FForm = &form;
  FDeadline = QDeadlineTimer(timeoutMs);
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
  FTimer.start(10);
}

void TScenario::Tick() {
  if (Finished())
    return;
  if (FDeadline.hasExpired()) {
    failure = QStringLiteral("timed out at: ") + FSteps[FNext].first;
    FTimer.stop();
    FForm->Relay().Stop(TRelayEnd::UserDisconnect);
    return;
  }
  if (FSteps[FNext].second())
    ++FNext;
  if (Finished())
    FTimer.stop();
}

void TScenario::Check(bool condition, const QString &what) {
  if (!condition)
    failure += (failure.isEmpty() ? QString() : QStringLiteral("; ")) + what;
}

bool ProcessAlive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

namespace {
void WriteFile(const QString &path, const QByteArray &bytes, bool executable = false) {
  QFile file(path);
  if (file.open(QIODevice::WriteOnly))
    file.write(bytes);
  file.close();
  if (executable)
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
} // namespace

TConnectionFixture::TConnectionFixture(TSimProcess::TKind kind, const QStringList &simArgs, TClock &clock,
                                       const QByteArray &setupIni)
    : device(kind, simArgs), fixture(clock, {device.linkPath()}) {
  const QString runtime = fixture.Path(QStringLiteral("run"));
  QDir().mkpath(runtime);
  QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
  WriteFile(fixture.SetupFolder() + QStringLiteral("setup.ini"), setupIni);
  WriteFile(fixture.SetupFolder() + QStringLiteral("prog"), "#!/bin/sh\nexec sleep 120\n", true);
  port = FreeTcpPort();
  fixture.tcpSettings->PortEdit->setText(QString::number(port));
  const bool modem = kind == TSimProcess::TKind::Modem;
  form().ConnectTypeComboBox->setCurrentIndex(modem ? 0 : 1);
  form().ConnectTypeComboBoxChange();
  if (modem)
    form().PhoneNumber->setEditText(QStringLiteral("+7 900 123"));
  fixture.log->show();
}

bool TConnectionFixture::ClientConnected() {
  if (!client || client->state() == QAbstractSocket::UnconnectedState)
    client = ConnectClient(port, 200);
  return client && form().Relay().SetupConnected();
}

QColor TConnectionFixture::StatusColour() const {
  return fixture.form->Label7->palette().color(QPalette::WindowText);
}

TScenario::TStep TConnectionFixture::Echoes(TScenario &scenario, const QByteArray &bytes) {
  // Each step sends its bytes once, then waits for them to come back.
  return [this, &scenario, bytes, sent = false]() mutable {
    if (!sent) {
      sent = true;
      client->write(bytes);
    }
    if (client->bytesAvailable() < bytes.size())
      return false;
    scenario.Check(client->readAll() == bytes, QStringLiteral("echo of ") + QString::fromLatin1(bytes));
    return true;
  };
}

TScenario::TStep TConnectionFixture::Clicks() {
  return [this] {
    form().URLLabel1Click();
    return true;
  };
}
