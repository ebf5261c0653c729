// The relay's serial side: opening and closing the port, reads and writes
// through the transfer buffers with their failure handling, the modem hang-up,
// and the device identification that runs over them.
#include "app/Relay.h"

#include "serial/PortWatcher.h"
#include "serial/RingThread.h"

#include <algorithm>

namespace {

const QByteArray kVersionRequest = QByteArrayLiteral("+VER_INFO=?\r\n");
const QByteArray kAnswerEnd = QByteArrayLiteral("OK\r\n");
constexpr uint32_t kIdentificationTimeoutMs = 10000;
constexpr uint32_t kHangupPauseMs = 150;
constexpr uint32_t kHangupDetectedPauseMs = 100;

} // namespace

bool TRelay::OpenCOMFromSettings() {
  CloseCOMPort();
  const bool opened = OpenCOM(FWindow.SelectedPort().toLocal8Bit().toStdString(), FWindow.CableBaudRate(), FCOMHandle);
  if (opened) {
    FNeedCOMReconnect = false;
    WatchPort();
  }
  return opened;
}

void TRelay::TakeOverCOM(TCOMHandle handle) {
  if (handle != FCOMHandle)
    CloseCOMPort();
  FCOMHandle = handle;
  if (PortOpen())
    WatchPort();
}

// The event loop is woken when the device's bytes come and when a full port
// has room again; each watch disarms once it has told, until the relay has
// acted on it.
void TRelay::WatchPort() {
  FPortWatch = std::make_unique<TPortWatcher>(FCOMHandle);
  FPortWatch->WatchInput();
}

void TRelay::CloseCOMPort() { ClosePort(true); }

void TRelay::ClosePort(bool cancelIo) {
  FPortWatch.reset();
  // Bytes taken from the port for the client that the end of the relay
  // overtook: said, as for a chunk taken in the pass and not moved.
  if (FChunkSize > 0)
    LogChunkNotDelivered();
  FChunkSize = 0;
  FPacing.DeviceChunkGone();
  if (FCOMHandle == INVALID_HANDLE_VALUE)
    return;
  if (cancelIo)
    CancelCOMIo(FCOMHandle);
  CloseCOM(FCOMHandle);
}

// Adds what the driver holds to the device's chunk; the bytes added.
int32_t TRelay::COMRead() {
  int32_t n = ReadCOM(FCOMHandle, FDataBuffer.data() + FChunkSize, kDataBufferSize - FChunkSize);
  if (n == -1) {
    FWindow.WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    n = 0;
  }
  FChunkSize += n;
  return n;
}

// A modem's hang-up report in the chunk ends the relay: state 3, "ATH", the
// port closed, and the chunk not relayed.
bool TRelay::EndedByModem(int32_t n) {
  if (!FModemConnect || !IsModemHangup(n))
    return false;
  FWindow.ShowNoConnection(csModemLost, QStringLiteral("процедура COMRead"));
  Stop(TRelayEnd::ModemHangup);
  FClock.Sleep(kHangupDetectedPauseMs);
  SendATHAndClose();
  return true;
}

bool TRelay::IsModemHangup(int32_t n) {
  if (n <= 0)
    return false;
  const QString chunk = QString::fromLocal8Bit(BufferToString(n));
  const bool hangup = ModemErrorCode(chunk) != RING_CONNECTED;
  if (hangup) {
    FWindow.WriteLog(QStringLiteral("Завершение работы по ошибке модема"));
    FWindow.WriteLog(QStringLiteral("Последний полученный пакет:"));
    FWindow.WriteLog(chunk);
  }
  return hangup;
}

int32_t TRelay::COMWrite(const char *data, int32_t n) {
  // A full driver queue (0) is back-pressure; only a failure of the port counts.
  const int32_t written = WriteCOM(FCOMHandle, data, n);
  if (written < 0) {
    FWindow.WriteLog(QStringLiteral("Ошибка записи в COM порт"));
    FWindow.SetStatus(QStringLiteral("Прибор не доступен"), true);
    LosePort(TPortLoss::WriteFailed);
    DropClientConnections();
  }
  return written;
}

QByteArray TRelay::BufferToString(int32_t n) const {
  return QByteArray(FDataBuffer.data(), std::clamp<int32_t>(n, 0, kDataBufferSize));
}

void TRelay::HangUpModem() {
  for (int i = 0; i < 3; ++i)
    WriteCOMString(FCOMHandle, "+");
  SendATHAndClose();
}

void TRelay::SendATHAndClose() {
  FClock.Sleep(kHangupPauseMs);
  // A modem executes a command line only once its terminator arrives.
  WriteCOMString(FCOMHandle, "ATH\r");
  FClock.Sleep(kHangupPauseMs);
  ClosePort(false);
}

TIdentification TRelay::RequestVersionInfo() {
  // The request goes out as the driver takes it, like relayed bytes: a device
  // that cannot take it at once gets the rest while the reply is awaited.
  int32_t requestWritten = 0;
  const auto writeRequest = [&] {
    if (requestWritten >= kVersionRequest.size())
      return true;
    const int32_t taken =
        COMWrite(kVersionRequest.constData() + requestWritten, int32_t(kVersionRequest.size()) - requestWritten);
    requestWritten += std::max(taken, 0);
    return taken >= 0;
  };
  const bool written = writeRequest();
  FWindow.WriteLogChunk(kVersionRequest, QStringLiteral("APP->COM"));
  FVerInfo.clear();
  if (!written)
    return RequestNotWritten();
  const uint32_t start = FClock.TickCount();
  QByteArray reply;
  while (FClock.TickCount() - start < kIdentificationTimeoutMs) {
    if (!writeRequest())
      return RequestNotWritten();
    FChunkSize = 0;
    const int32_t m = COMRead();
    if (m == 0 || EndedByModem(m)) {
      // Poll again almost at once, without keeping a core busy for ten seconds.
      FClock.Sleep(1);
      continue;
    }
    // Only the new bytes and the three before them can complete "OK\r\n".
    const qsizetype searchFrom = std::max<qsizetype>(0, reply.size() - (kAnswerEnd.size() - 1));
    reply.append(BufferToString(m));
    if (reply.indexOf(kAnswerEnd, searchFrom) >= 0) {
      FChunkSize = 0;
      FWindow.WriteLogChunk(reply, QStringLiteral("COM->APP"));
      FVerInfo = reply;
      return TIdentification::Answered;
    }
  }
  FChunkSize = 0;
  return TIdentification::NoAnswer;
}

TIdentification TRelay::RequestNotWritten() {
  FWindow.WriteLog(QStringLiteral("Запрос VER_INFO не отправлен: %1").arg(QString::fromLocal8Bit(LastWriteCOMError())));
  return TIdentification::RequestNotWritten;
}
