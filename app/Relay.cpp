// The relay loop's pass: a chunk each way, the recovery steps, the paced wait
// and the presence check.
#include "app/Relay.h"

#include <QCoreApplication>

namespace {

constexpr uint32_t kPassWaitMs = 50;
constexpr uint32_t kReopenWaitMs = 500;
const QString kConnected = QStringLiteral("Подключен");
const QString kChunkNotDelivered = QStringLiteral("Соединение было прервано, последний пакет не доставлен");

} // namespace

void ProcessMessages() {
  QCoreApplication::processEvents();
  // Connection objects discarded by the socket layer go at once, even while a
  // handler further down the stack keeps the outer event loop waiting.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TRelay::TRelay(TRelayWindow &window, TServerSocket &server, TClock &clock, const TPortSystem &ports)
    : FWindow(window), FServer(server), FClock(clock), FPorts(ports) {
  FWakeTimer.setSingleShot(true);
  FWakeTimer.setTimerType(Qt::PreciseTimer);
  FServer.OnClientConnect = [this](TClientConnection *c) { ServerSocketClientConnect(c); };
  FServer.OnClientDisconnect = [this](TClientConnection *c) { ServerSocketClientDisconnect(c); };
  FServer.OnClientRead = [this](TClientConnection *c) { ServerSocketClientRead(c); };
  FServer.OnClientError = [this](TClientConnection *c, TErrorEvent, int &code) { ServerSocketClientError(c, code); };
  FServer.OnLog = [this](const QString &line) { FWindow.WriteLog(line); };
}

TRelay::~TRelay() {
  FServer.OnClientConnect = nullptr;
  FServer.OnClientDisconnect = nullptr;
  FServer.OnClientRead = nullptr;
  FServer.OnClientError = nullptr;
  FServer.OnLog = nullptr;
  CloseCOMPort();
}

void TRelay::BeginConnection() {
  // A flag left over from an earlier connection must not end this one.
  FNeedCOMReconnect = false;
  FEndReason = TRelayEnd::None;
  FPortLoss = TPortLoss::None;
}

void TRelay::Start() { FConnected = true; }

void TRelay::Stop(TRelayEnd reason) {
  if (FConnected || FEndReason == TRelayEnd::None)
    FEndReason = reason;
  FConnected = false;
  // An ended connection is not recovered: the pass that runs on must not
  // reopen the port behind the user's back.
  FNeedCOMReconnect = false;
}

void TRelay::RelayPass() {
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

void TRelay::RelaySocketToCOM() {
  if (FReadSocket <= 0)
    return;
  ProcessMessages();
  if (!FConnected) {
    FWindow.WriteLog(kChunkNotDelivered);
    return;
  }
  // The events above may have dropped the client and its chunk.
  if (FReadSocket <= 0)
    return;
  const char *pending = FSocketBuffer.data() + FSocketWritten;
  const int32_t written = COMWrite(pending, FReadSocket);
  if (written < 0)
    return; // the port failed; COMWrite dropped the clients and their chunk
  NoteLineProgress(written);
  if (written == 0)
    return; // a full driver queue: the rest goes in a later pass
  FWindow.WriteLogChunk(QByteArrayView(pending, written), QStringLiteral("TCP->COM"));
  FSocketWritten += written;
  FReadSocket -= written;
  if (FReadSocket == 0)
    ClientChunkDelivered();
}

// A line that takes nothing is not broken (a device that stopped reading, CTS
// held low): the relay goes on reading, and a long stall is logged once.
void TRelay::NoteLineProgress(int32_t written) {
  if (written > 0) {
    if (FStallReported)
      FWindow.WriteLog(QStringLiteral("COM порт снова принимает данные"));
    FStallSince.reset();
    FStallReported = false;
    return;
  }
  const uint32_t now = FClock.TickCount();
  if (!FStallSince)
    FStallSince = now;
  else if (!FStallReported && now - *FStallSince >= kStallReportMs) {
    FWindow.WriteLog(QStringLiteral("COM порт не принимает данные уже %1 с, ожидание").arg(kStallReportMs / 1000));
    FStallReported = true;
  }
}

void TRelay::RelayCOMToSocket() {
  const int32_t m = COMRead();
  if (m <= 0)
    return;
  ProcessMessages();
  if (!FConnected) {
    FWindow.WriteLog(kChunkNotDelivered);
    return;
  }
  SendToSetupProgram(m);
  FWindow.WriteLogChunk(QByteArrayView(FDataBuffer.data(), m), QStringLiteral("COM->TCP"));
}

void TRelay::ReopenStep() {
  WaitWithMessages(kReopenWaitMs);
  ProcessMessages();
  if (!FNeedCOMReconnect)
    return;
  FWindow.WriteLog(QStringLiteral("Попытка переокрытия COM порта"));
  if (!OpenCOMFromSettings())
    return;
  if (!FWindow.RestartTCPServer())
    return;
  FWindow.WriteLog(QStringLiteral("Порт успешно переоткрыт"));
  FWindow.SetStatus(kConnected);
}

void TRelay::ModemPortLossStep() {
  FWindow.WriteLog(QStringLiteral("Завершение работы по потере порта."));
  FWindow.ShowNoConnection(csIdle, QStringLiteral("главный цикл, модемное соединение, порт потерян"));
  Stop(TRelayEnd::ModemPortLost);
  FWindow.EnableInputs(true);
  CloseCOM(FCOMHandle);
}

void TRelay::PresenceCheck() {
  if (FWindow.ConnectState() == csIdle ||
      IsPortPresent(FWindow.SelectedPort().toLocal8Bit().toStdString(), FPorts))
    return;
  CloseCOMPort();
  FWindow.SetStatus(QStringLiteral("Прибор недоступен"), true);
  StopTCPServer();
  LosePort(TPortLoss::Vanished);
}

void TRelay::LosePort(TPortLoss reason) {
  FNeedCOMReconnect = true;
  FPortLoss = reason;
}

void TRelay::WaitWithMessages(uint32_t ms) {
  // Sleeps in the event loop until the next event or the deadline, so an idle
  // connection costs no processor time; the elapsed time is an unsigned
  // difference, so a wrap of the tick counter does not cut the wait short.
  const uint32_t start = FClock.TickCount();
  for (uint32_t elapsed = 0; elapsed < ms; elapsed = FClock.TickCount() - start) {
    FWakeTimer.start(static_cast<int>(FClock.RealMs(ms - elapsed)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  FWakeTimer.stop();
}
