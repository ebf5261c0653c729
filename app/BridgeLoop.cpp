// The main loop: one bridged connection from identification to teardown.
#include "app/MainFormUnit.h"

#include "ui/Prompts.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QTimer>

#include <cstring>
#include <exception>

namespace {

constexpr uint32_t kPassWaitMs = 50;
constexpr uint32_t kReopenWaitMs = 500;
const QString kConnected = QStringLiteral("Подключен");
const QString kChunkNotDelivered = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

} // namespace

void TMainTandrelForm::MainLoop() {
  // A flag left over from an earlier connection must not end this one.
  FNeedCOMReconnect = false;
  if (!RequestVersionInfo()) {
    FailurePathA();
    return;
  }
  if (!StartTCPServerOrEnd())
    return;
  StartSetupProgram();
  if (!SetupIsStarted()) {
    FailurePathB();
    return;
  }
  FConnected = true;
  SetConnectState(csConnected);
  SetStatus(kConnected);
  URLLabel1->setEnabled(true);
  while (FConnected)
    RelayPass();
  Teardown();
}

void TMainTandrelForm::RelayPass() {
  ProcessMessages();
  if (!FNeedCOMReconnect) {
    ProcessMessages();
    RelaySocketToCOM();
    RelayCOMToSocket();
  } else if (!FModemConnect) {
    ReopenStep();
  } else {
    ModemPortLossStep();
  }
  WaitWithMessages(kPassWaitMs);
  ProcessMessages();
  PresenceCheck();
}

void TMainTandrelForm::RelaySocketToCOM() {
  if (FReadSocket <= 0)
    return;
  ProcessMessages();
  if (!FConnected) {
    WriteLog(kChunkNotDelivered);
    return;
  }
  // The events above may have dropped the client and its chunk.
  const int32_t pending = FReadSocket;
  if (pending <= 0)
    return;
  const int32_t written = COMWrite(FSocketBuffer.data(), pending);
  if (written >= 0) {
    WriteLogChunk(QByteArrayView(FSocketBuffer.data(), written), QStringLiteral("TCP->COM"));
    // What the driver could not take yet stays pending for the next pass.
    std::memmove(FSocketBuffer.data(), FSocketBuffer.data() + written, static_cast<size_t>(pending - written));
    FReadSocket = pending - written;
  } else {
    FReadSocket = 0;
  }
  if (FReadSocket == 0)
    ServerSocketRequestRead();
}

void TMainTandrelForm::RelayCOMToSocket() {
  const int32_t m = COMRead();
  if (m <= 0)
    return;
  ProcessMessages();
  if (!FConnected) {
    WriteLog(kChunkNotDelivered);
    return;
  }
  SendToSetupProgram(m);
  WriteLogChunk(QByteArrayView(FDataBuffer.data(), m), QStringLiteral("COM->TCP"));
}

void TMainTandrelForm::ReopenStep() {
  WaitWithMessages(kReopenWaitMs);
  ProcessMessages();
  if (!FNeedCOMReconnect)
    return;
  WriteLog(QStringLiteral("Попытка переокрытия COM порта"));
  if (!OpenCOMFromSettings())
    return;
  if (!StartTCPServerOrEnd())
    return;
  WriteLog(QStringLiteral("Порт успешно переоткрыт"));
  SetStatus(kConnected);
}

void TMainTandrelForm::ModemPortLossStep() {
  WriteLog(QStringLiteral("Завершение работы по потере порта."));
  ShowNoConnection(csIdle, QStringLiteral("главный цикл, модемное соединение, порт потерян"));
  FConnected = false;
  EnableInputs(true);
  CloseCOM(FCOMHandle);
  FNeedCOMReconnect = false;
}

void TMainTandrelForm::PresenceCheck() {
  if (IsPortPresent(PortsListComboBox->currentText().toLocal8Bit().toStdString(), FPortSystem) ||
      ConnectState() == csIdle)
    return;
  CloseCOMPort();
  SetStatus(QStringLiteral("Прибор недоступен"), true);
  StopTCPServer();
  FNeedCOMReconnect = true;
}

void TMainTandrelForm::FailurePathA() {
  const QString notFound = QStringLiteral("Устройство не обнаружено, работа программы невозможна");
  EndFailedAttempt(notFound, notFound + QLatin1Char('.'), QStringLiteral("главный цикл, нет ответа на VER_INFO"),
                   false);
}

void TMainTandrelForm::FailurePathB() {
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

// The server could not listen: the attempt ends like the other failures, with
// the socket layer's reason shown, and a modem call is hung up.
void TMainTandrelForm::FailurePathServer(const QString &reason) {
  FConnected = false;
  EndFailedAttempt(reason, reason, QStringLiteral("главный цикл, TCP сервер не запущен"), FModemConnect);
}

// Every failed attempt ends the same way: logged, shown, back to state 0 with
// the server stopped, the port closed (a call hung up first) and the inputs free.
void TMainTandrelForm::EndFailedAttempt(const QString &logText, const QString &boxText, const QString &where,
                                        bool hangUp) {
  WriteLog(logText);
  ShowError(this, boxText);
  ShowNoConnection(csIdle, where);
  StopTCPServer();
  if (hangUp && FCOMHandle != INVALID_HANDLE_VALUE)
    HangUpModem();
  CloseCOMPort();
  EnableInputs(true);
}

void TMainTandrelForm::Teardown() {
  CloseCOMPort();
  StopTCPServer();
  if (FModemConnect) {
    raise();
    activateWindow();
  } else {
    StopSetupProgram();
  }
}

void TMainTandrelForm::WaitWithMessages(uint32_t ms) {
  // Sleeps in the event loop until the next event or the deadline, so an idle
  // connection costs no processor time; the elapsed time is an unsigned
  // difference, so a wrap of the tick counter does not cut the wait short.
  const uint32_t start = FClock.TickCount();
  for (uint32_t elapsed = 0; elapsed < ms; elapsed = FClock.TickCount() - start) {
    FWakeTimer->start(static_cast<int>(FClock.RealMs(ms - elapsed)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  FWakeTimer->stop();
}
