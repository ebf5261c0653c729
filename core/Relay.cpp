// The relay's moves: client bytes to the port as the port takes them, the
// device's bytes to the client when its burst has ended, the 50 ms pass and
// the presence check.
#include "core/Relay.h"

#include "core/LogModel.h"
#include "serial/PortWatcher.h"

#include <algorithm>

TRelay::TRelay(TLogModel &log, TTeardown &teardown, TClock &clock, const TPortSystem &ports, QObject *parent)
    : QObject(parent), FLog(log), FTeardown(teardown), FClock(clock), FPorts(ports), FGap(clock),
      FIdentificationLimit(clock), FUndelivered(log, clock) {
  FPass.setTimerType(Qt::PreciseTimer);
  connect(&FPass, &QTimer::timeout, this, &TRelay::RelayPass);
  connect(&FGap, &TClockTimer::Timeout, this, &TRelay::MoveDueBytes);
  connect(&FIdentificationLimit, &TClockTimer::Timeout, this,
          [this] { FinishIdentification(TIdentification::NoAnswer); });
  FServer.OnClientConnect = [this](TClientConnection *c) { ServerSocketClientConnect(c); };
  FServer.OnClientDisconnect = [this](TClientConnection *c) { ServerSocketClientDisconnect(c); };
  FServer.OnClientRead = [this](TClientConnection *c) { ServerSocketClientRead(c); };
  FServer.OnClientError = [this](TClientConnection *c, TErrorEvent, int &code) { ServerSocketClientError(c, code); };
  FServer.OnLog = [this](const QString &line) { FLog.WriteLog(line); };
}

TRelay::~TRelay() {
  FServer.OnClientConnect = nullptr;
  FServer.OnClientDisconnect = nullptr;
  FServer.OnClientRead = nullptr;
  FServer.OnClientError = nullptr;
  FServer.OnLog = nullptr;
  CloseCOMPort();
}

void TRelay::Start(const QString &portName, bool modem, bool fixedPacing, int32_t baudRate) {
  FPortName = portName;
  FModemConnect = modem;
  FFixedPacing = fixedPacing;
  FBaudRate = baudRate;
  FConnected = true;
  FSuspended = false;
  FChunkSize = 0;
  Resume();
}

void TRelay::Stop() {
  FConnected = false;
  FPass.stop();
  FGap.Stop();
  FUndelivered.Flush();
}

void TRelay::Resume() {
  // The gap that ends a device's burst follows the speed the line runs at.
  const int32_t speed = PortOpen() ? GetCOMSpeed(FCOMHandle) : 0;
  FPacing.Configure(FFixedPacing, speed > 0 ? speed : FBaudRate);
  FSuspended = false;
  FPass.start(int(FClock.RealMs(kPassMs)));
  MoveDueBytes();
}

void TRelay::Suspend() {
  FSuspended = true;
  FGap.Stop();
}

// The pass: whatever waits goes now (a chunk each way), then the presence
// check. With fixed pacing this is the only time bytes move.
void TRelay::RelayPass() {
  if (!FConnected || FSuspended)
    return;
  WriteClientChunk();
  // A failed write has given the port up (or the session ended the relay):
  // nothing more is read from it.
  if (!FConnected || FSuspended)
    return;
  CollectDeviceBytes();
  if (FChunkSize > 0)
    SendDeviceChunk();
  if (FConnected && !FSuspended)
    PresenceCheck();
}

bool TRelay::RelaysAsBytesCome() const { return !FPacing.Fixed() && FConnected && !FSuspended && PortOpen(); }

// Between passes: the client's bytes go to the port as soon as it has room,
// the device's when its burst has ended.
void TRelay::MoveDueBytes() {
  if (!RelaysAsBytesCome())
    return;
  if (FReadSocket > 0 && !FPortWatch->WatchingOutputRoom())
    WriteClientChunk();
  if (!RelaysAsBytesCome())
    return;
  // A disarmed input watch has told that the device's bytes came.
  if (!FPortWatch->WatchingInput())
    CollectDeviceBytes();
  if (!RelaysAsBytesCome())
    return;
  const uint32_t now = FClock.MicroTickCount();
  if (FPacing.DeviceChunkDue(now, FChunkSize, kDataBufferSize))
    SendDeviceChunk();
  else if (const std::optional<uint32_t> gapLeft = FPacing.UsUntilDeviceChunkDue(now))
    FGap.StartUs(std::max<uint32_t>(*gapLeft, 1));
}

void TRelay::WriteClientChunk() {
  // The client may have been dropped with its chunk.
  if (FReadSocket <= 0 || !PortOpen())
    return;
  const char *pending = FSocketBuffer.data() + FSocketWritten;
  const int32_t written = COMWrite(pending, FReadSocket);
  if (written < 0)
    return; // the port failed: the relay has given it up
  NoteLineProgress(written);
  if (written > 0) {
    FPortWatch->NoteTraffic();
    FLog.WriteLogChunk(QByteArrayView(pending, written), QStringLiteral("TCP->COM"));
    FSocketWritten += written;
    FReadSocket -= written;
  }
  if (FReadSocket == 0) {
    ClientChunkDelivered();
    return;
  }
  // A full driver queue: the rest goes when the port has room again.
  FPortWatch->WatchOutputRoom();
}

// A line that takes nothing is not broken (a device that stopped reading, CTS
// held low): the relay goes on reading, and a long stall is logged once.
void TRelay::NoteLineProgress(int32_t written) {
  if (written > 0) {
    if (FStallReported)
      FLog.WriteLog(QStringLiteral("COM порт снова принимает данные"));
    FStallSince.reset();
    FStallReported = false;
    return;
  }
  const uint32_t now = FClock.TickCount();
  if (!FStallSince)
    FStallSince = now;
  else if (!FStallReported && now - *FStallSince >= kStallReportMs) {
    FLog.WriteLog(QStringLiteral("COM порт не принимает данные уже %1 с, ожидание").arg(kStallReportMs / 1000));
    FStallReported = true;
  }
}

void TRelay::CollectDeviceBytes() {
  if (!PortOpen())
    return;
  if (COMRead() > 0) {
    FPacing.DeviceBytesArrived(FClock.MicroTickCount());
    FPortWatch->NoteTraffic();
  }
  if (FPortWatch)
    FPortWatch->WatchInput();
}

void TRelay::SendDeviceChunk() {
  const int32_t m = std::exchange(FChunkSize, 0);
  FGap.Stop();
  FPacing.DeviceChunkGone();
  if (FModemConnect && IsModemHangup(m)) {
    emit ModemHangup();
    return;
  }
  if (const std::optional<TUndelivered> why = SendToSetupProgram(m)) {
    FUndelivered.Dropped(m, *why);
    return;
  }
  FUndelivered.Flush();
  FLog.WriteLogChunk(QByteArrayView(FDataBuffer.data(), m), QStringLiteral("COM->TCP"));
}

void TRelay::LogChunkNotDelivered() {
  FLog.WriteLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"));
}

void TRelay::PresenceCheck() {
  if (!IsPortPresent(FPortName.toLocal8Bit().toStdString(), FPorts))
    LosePort(TPortLoss::Vanished);
}

// The session decides what a loss means; the relay moves nothing meanwhile.
void TRelay::LosePort(TPortLoss reason, const QString &error) {
  Suspend();
  emit PortLost(reason, error);
}
