// The main loop: one bridged connection from identification to teardown. The
// relay moves the bytes; the window shows how the connection goes and ends
// failed attempts.
#include "app/MainFormUnit.h"

#include "ui/COMSettingsUnit.h"
#include "ui/Prompts.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QScopeGuard>

#include <exception>
#include <utility>

namespace {

constexpr int32_t kDefaultBaudRate = 19200;

} // namespace

void TMainTandrelForm::MainLoop() {
  ++FMainLoops;
  const auto left = qScopeGuard([this] { LeaveMainLoop(); });
  FRelay->BeginConnection();
  switch (FRelay->RequestVersionInfo()) {
  case TIdentification::Answered:
    break;
  case TIdentification::NoAnswer:
    FailurePathA();
    return;
  case TIdentification::RequestNotWritten:
    FailurePathRequest();
    return;
  }
  if (!StartTCPServerOrEnd())
    return;
  StartSetupProgram();
  if (!SetupIsStarted()) {
    FailurePathB();
    return;
  }
  FRelay->Start();
  SetConnectState(csConnected);
  SetStatus(QStringLiteral("Подключен"));
  URLLabel1->setEnabled(true);
  while (FRelay->Running())
    FRelay->RelayPass();
  Teardown();
}

// A click refused while a loop was ending acts now, from the event loop, on
// the state it was made in; on any other it is dropped.
void TMainTandrelForm::LeaveMainLoop() {
  if (--FMainLoops > 0 || !FClickAfterLoop)
    return;
  const TConnectState clickedIn = *std::exchange(FClickAfterLoop, std::nullopt);
  QMetaObject::invokeMethod(
      this,
      [this, clickedIn] {
        if (ConnectState() == clickedIn)
          URLLabel1Click();
      },
      Qt::QueuedConnection);
}

void TMainTandrelForm::FailurePathA() {
  const QString notFound = QStringLiteral("Устройство не обнаружено, работа программы невозможна");
  EndFailedAttempt(notFound, notFound + QLatin1Char('.'), QStringLiteral("главный цикл, нет ответа на VER_INFO"),
                   false);
}

// The port refused the request: nothing was asked, so the box says what
// failed instead of blaming the device.
void TMainTandrelForm::FailurePathRequest() {
  const QString failed = QStringLiteral("Ошибка записи в COM порт");
  EndFailedAttempt(failed, failed + QLatin1Char('.'), QStringLiteral("главный цикл, запрос VER_INFO не отправлен"),
                   false);
}

// A program that was found but cannot run here says why instead.
void TMainTandrelForm::FailurePathB() {
  const QString refusal = SetupRefusal();
  if (!refusal.isEmpty()) {
    EndFailedAttempt(refusal, refusal, QStringLiteral("главный цикл, программа настройки не запущена"), false);
    return;
  }
  EndFailedAttempt(QStringLiteral("Не найдена программа настройки"),
                   QStringLiteral("Программа настройки для данного прибора не обнаружена."),
                   QStringLiteral("главный цикл, нет программы настройки"), false);
}

bool TMainTandrelForm::StartTCPServerOrEnd() {
  try {
    StartTCPServer();
    return true;
  } catch (const std::exception &error) {
    FailurePathServer(QString::fromUtf8(error.what()));
    return false;
  }
}

bool TMainTandrelForm::RestartTCPServer() { return StartTCPServerOrEnd(); }

// The server could not listen: the attempt ends like the other failures, with
// the socket layer's reason shown, and a modem call is hung up.
void TMainTandrelForm::FailurePathServer(const QString &reason) {
  FRelay->Stop(TRelayEnd::ServerFailed);
  EndFailedAttempt(reason, reason, QStringLiteral("главный цикл, TCP сервер не запущен"), FRelay->ModemConnect());
}

void TMainTandrelForm::EndFailedAttempt(const QString &logText, const QString &boxText, const QString &where,
                                        bool hangUp) {
  WriteLog(logText);
  ShowError(this, boxText);
  EndAttempt(where, hangUp);
}

// Every attempt that fails or breaks off ends the same way: back to state 0
// with the server stopped, the port closed (a call hung up first) and the
// inputs free.
void TMainTandrelForm::EndAttempt(const QString &where, bool hangUp) {
  ShowNoConnection(csIdle, where);
  StopTCPServer();
  if (hangUp && FRelay->PortOpen())
    FRelay->HangUpModem();
  FRelay->CloseCOMPort();
  EnableInputs(true);
}

void TMainTandrelForm::Teardown() {
  FRelay->CloseCOMPort();
  StopTCPServer();
  if (FRelay->ModemConnect()) {
    raise();
    activateWindow();
  } else {
    StopSetupProgram();
  }
}

QString TMainTandrelForm::SelectedPort() const { return PortsListComboBox->currentText(); }

int32_t TMainTandrelForm::CableBaudRate() const {
  bool isNumber = false;
  const int32_t baudRate = COMSettingsForm ? COMSettingsForm->SpeedComboBox->currentText().toInt(&isNumber) : 0;
  return isNumber ? baudRate : kDefaultBaudRate;
}
