// The relay loop's pass: a chunk each way, the recovery steps, the paced wait
// and the presence check.
#include "app/Relay.h"

#include "serial/PortWatcher.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

constexpr uint32_t kPassWaitMs = 50;
constexpr uint32_t kReopenWaitMs = 500;
const QString kConnected = QStringLiteral("Подключен");

void ProcessEvents(QEventLoop::ProcessEventsFlags flags) {
  QCoreApplication::processEvents(flags);
  // Connection objects discarded by the socket layer go at once, even while a
  // handler further down the stack keeps the outer event loop waiting.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

void ProcessMessages() { ProcessEvents(QEventLoop::AllEvents); }

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
  FChunkSize = 0;
}

void TRelay::Start() {
  // The gap that ends a device's burst follows the speed the line runs at.
  const int32_t speed = PortOpen() ? GetCOMSpeed(FCOMHandle) : 0;
  FPacing.Configure(FFixedPacing, speed > 0 ? speed : FWindow.CableBaudRate());
  FConnected = true;
}

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

bool TRelay::RelaysAsBytesCome() const { return !FPacing.Fixed() && FConnected && !FNeedCOMReconnect && PortOpen(); }

// Within the pass's wait: the client's bytes go to the port as soon as it
// has room, the device's when its burst has ended.
// The events have just been processed there, so the moves do not process
// them again before they act.
void TRelay::MoveDueBytes() {
  if (FReadSocket > 0 && !FPortWatch->WatchingOutputRoom())
    WriteClientChunk();
  if (!RelaysAsBytesCome())
    return;
  // A disarmed input watch has told that the device's bytes came.
  if (!FPortWatch->WatchingInput())
    CollectDeviceBytes();
  if (FPacing.DeviceChunkDue(FClock.TickCount(), FChunkSize, kDataBufferSize))
    SendDeviceChunk(false);
}

void TRelay::RelaySocketToCOM() {
  if (FReadSocket <= 0)
    return;
  ProcessMessages();
  if (!FConnected) {
    LogChunkNotDelivered();
    return;
  }
  WriteClientChunk();
}

void TRelay::WriteClientChunk() {
  // The events before may have dropped the client and its chunk.
  if (FReadSocket <= 0)
    return;
  const char *pending = FSocketBuffer.data() + FSocketWritten;
  const int32_t written = COMWrite(pending, FReadSocket);
  if (written < 0)
    return; // the port failed; COMWrite dropped the clients and their chunk
  NoteLineProgress(written);
  if (written > 0) {
    FPortWatch->NoteTraffic();
    FWindow.WriteLogChunk(QByteArrayView(pending, written), QStringLiteral("TCP->COM"));
    FSocketWritten += written;
    FReadSocket -= written;
  }
  if (FReadSocket == 0) {
    ClientChunkDelivered();
    return;
  }
  // A full driver queue: the rest goes when the port has room again.
  if (PortOpen())
    FPortWatch->WatchOutputRoom();
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

// The pass's own step: whatever the device has sent goes now, burst or not.
void TRelay::RelayCOMToSocket() {
  CollectDeviceBytes();
  if (FChunkSize > 0)
    SendDeviceChunk(true);
}

void TRelay::CollectDeviceBytes() {
  if (!PortOpen())
    return;
  if (COMRead() > 0) {
    FPacing.DeviceBytesArrived(FClock.TickCount());
    FPortWatch->NoteTraffic();
  }
  FPortWatch->WatchInput();
}

void TRelay::SendDeviceChunk(bool processEventsFirst) {
  const int32_t m = std::exchange(FChunkSize, 0);
  FPacing.DeviceChunkGone();
  if (EndedByModem(m))
    return;
  if (processEventsFirst)
    ProcessMessages();
  if (!FConnected) {
    LogChunkNotDelivered();
    return;
  }
  SendToSetupProgram(m);
  FWindow.WriteLogChunk(QByteArrayView(FDataBuffer.data(), m), QStringLiteral("COM->TCP"));
}

void TRelay::LogChunkNotDelivered() {
  FWindow.WriteLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"));
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
  ClosePort(false);
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
  // Sleeps in the event loop until the next event or deadline (the pass's end,
  // or the end of a device's burst), so an idle connection costs no processor
  // time; the elapsed time is an unsigned difference, so a wrap of the tick
  // counter does not cut the wait short.
  const uint32_t start = FClock.TickCount();
  for (uint32_t elapsed = 0; elapsed < ms; elapsed = FClock.TickCount() - start) {
    uint32_t sleepMs = ms - elapsed;
    if (RelaysAsBytesCome()) {
      MoveDueBytes();
      const uint32_t now = FClock.TickCount();
      if (now - start >= ms)
        break;
      sleepMs = ms - (now - start);
      if (const std::optional<uint32_t> gapLeft = FPacing.MsUntilDeviceChunkDue(now))
        sleepMs = std::min(sleepMs, std::max<uint32_t>(*gapLeft, 1));
    }
    WakeAfter(sleepMs);
    ProcessEvents(QEventLoop::WaitForMoreEvents);
  }
  FWakeTimer.stop();
}

// A wake-up already due earlier serves as well: the loop then sleeps again.
void TRelay::WakeAfter(uint32_t ms) {
  const uint32_t wakeAt = FClock.TickCount() + ms;
  if (FWakeTimer.isActive() && int32_t(wakeAt - FWakeAt) >= 0)
    return;
  FWakeAt = wakeAt;
  FWakeTimer.start(static_cast<int>(FClock.RealMs(ms)));
}
