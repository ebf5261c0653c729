// The relay's serial side: opening and closing the port, reads and writes
// through the transfer buffers, the modem's result codes, and the device
// identification that runs over them.
#include "core/Relay.h"

#include "core/LogModel.h"
#include "serial/PortWatcher.h"
#include "serial/RingThread.h"

#include <algorithm>

namespace {

const QByteArray kVersionRequest = QByteArrayLiteral("+VER_INFO=?\r\n");
const QByteArray kAnswerEnd = QByteArrayLiteral("OK\r\n");

} // namespace

bool TRelay::OpenCOMFromSettings(const QString &port, int32_t baudRate, TSerialError *error) {
  CloseCOMPort();
  const bool opened = OpenCOM(port.toLocal8Bit().toStdString(), baudRate, FCOMHandle, error);
  if (opened)
    WatchPort();
  return opened;
}

void TRelay::TakeOverCOM(TCOMHandle handle) {
  if (handle != FCOMHandle)
    CloseCOMPort();
  FCOMHandle = handle;
  FResultLines.Reset(); // a call's data starts here
  if (PortOpen())
    WatchPort();
}

// The port's readiness reaches the relay through the event loop; each watch
// disarms once it has told, until the relay has acted on it.
void TRelay::WatchPort() {
  FPortWatch = std::make_unique<TPortWatcher>(FCOMHandle, [this] { PortReady(); });
  FPortWatch->WatchInput();
}

void TRelay::PortReady() {
  if (FIdentifying)
    ReadReply();
  else if (FConnected && !FSuspended)
    MoveDueBytes();
}

void TRelay::CloseCOMPort(THangUp hangUp) {
  FPortWatch.reset();
  FUndelivered.Flush();
  if (FChunkSize > 0)
    LogChunkNotDelivered();
  FChunkSize = 0;
  FGap.Stop();
  FPacing.DeviceChunkGone();
  if (FCOMHandle == INVALID_HANDLE_VALUE)
    return;
  // A modem is hung up without cancelling what is pending first.
  if (hangUp == THangUp::None)
    CancelCOMIo(FCOMHandle);
  FTeardown.ClosePort(std::exchange(FCOMHandle, INVALID_HANDLE_VALUE), hangUp);
}

// Adds what the driver holds to the device's chunk; the bytes added. A port
// the system says is gone is given up.
int32_t TRelay::COMRead() {
  TSerialError error;
  int32_t n = ReadCOM(FCOMHandle, FDataBuffer.data() + FChunkSize, kDataBufferSize - FChunkSize, &error);
  if (n == -1) {
    FLog.WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    n = 0;
  }
  if (error.kind == TSerialError::TKind::Gone && FConnected) {
    LosePort(TPortLoss::Vanished, QString::fromLocal8Bit(error.text));
    return 0;
  }
  FChunkSize += n;
  return n;
}

bool TRelay::IsModemHangup(int32_t n) {
  if (n <= 0)
    return false;
  const QByteArray chunk = BufferToString(n);
  const bool hangup = FResultLines.Scan(chunk) != RING_CONNECTED;
  if (hangup) {
    FLog.WriteLog(QStringLiteral("Завершение работы по ошибке модема"));
    FLog.WriteLog(QStringLiteral("Последний полученный пакет:"));
    FLog.WriteLog(QString::fromLocal8Bit(chunk));
  }
  return hangup;
}

// A full driver queue (0) is back-pressure; only a failure of the port counts.
int32_t TRelay::COMWrite(const char *data, int32_t n) {
  TSerialError error;
  const int32_t written = WriteCOM(FCOMHandle, data, n, &error);
  if (written < 0)
    LosePort(TPortLoss::WriteFailed, QString::fromLocal8Bit(error.text));
  return written;
}

QByteArray TRelay::BufferToString(int32_t n) const {
  return QByteArray(FDataBuffer.data(), std::clamp<int32_t>(n, 0, kDataBufferSize));
}

void TRelay::RequestVersionInfo(bool modem) {
  FModemConnect = modem;
  FIdentifying = true;
  FRequestWritten = 0;
  FReply.clear();
  FChunkSize = 0;
  const bool written = WriteRequest();
  FLog.WriteLogChunk(kVersionRequest, QStringLiteral("APP->COM"));
  FVerInfo.clear();
  if (!written) {
    FinishIdentification(TIdentification::RequestNotWritten);
    return;
  }
  FIdentificationLimit.Start(kIdentificationTimeoutMs);
  // Bytes queued before the request (the end of a modem's connect message)
  // belong to the reply as well.
  ReadReply();
}

void TRelay::CancelIdentification() {
  FIdentifying = false;
  FIdentificationLimit.Stop();
  FChunkSize = 0;
}

// The request goes out as the driver takes it, like relayed bytes: a device
// that cannot take it at once gets the rest while the reply is awaited.
bool TRelay::WriteRequest() {
  if (FRequestWritten >= kVersionRequest.size())
    return true;
  TSerialError error;
  const int32_t taken = WriteCOM(FCOMHandle, kVersionRequest.constData() + FRequestWritten,
                                 int32_t(kVersionRequest.size()) - FRequestWritten, &error);
  if (taken < 0) {
    FLog.WriteLog(QStringLiteral("Запрос VER_INFO не отправлен: %1").arg(QString::fromLocal8Bit(error.text)));
    return false;
  }
  FRequestWritten += taken;
  if (FRequestWritten < kVersionRequest.size() && FPortWatch)
    FPortWatch->WatchOutputRoom();
  return true;
}

void TRelay::ReadReply() {
  if (!FIdentifying || !PortOpen())
    return;
  if (!WriteRequest()) {
    FinishIdentification(TIdentification::RequestNotWritten);
    return;
  }
  FChunkSize = 0;
  const int32_t m = COMRead();
  FChunkSize = 0;
  if (FPortWatch)
    FPortWatch->WatchInput();
  if (m == 0)
    return;
  if (FModemConnect && IsModemHangup(m)) {
    emit ModemHangup();
    return;
  }
  // Only the new bytes and the three before them can complete "OK\r\n".
  const qsizetype searchFrom = std::max<qsizetype>(0, FReply.size() - (kAnswerEnd.size() - 1));
  FReply.append(BufferToString(m));
  if (FReply.indexOf(kAnswerEnd, searchFrom) >= 0) {
    FLog.WriteLogChunk(FReply, QStringLiteral("COM->APP"));
    FVerInfo = FReply;
    FinishIdentification(TIdentification::Answered);
  }
}

void TRelay::FinishIdentification(TIdentification result) {
  CancelIdentification();
  emit Identified(result);
}
