// The relay's serial side: opening and closing the port, reads and writes
// through the transfer buffers with their failure handling, the modem hang-up,
// and the device identification that runs over them.
#include "app/Relay.h"

#include "serial/RingThread.h"

#include <algorithm>

namespace {

const QByteArray kVersionRequest = QByteArrayLiteral("+VER_INFO=?\r\n");
const QString kAnswerEnd = QStringLiteral("OK\r\n");
constexpr uint32_t kIdentificationTimeoutMs = 10000;
constexpr uint32_t kHangupPauseMs = 150;
constexpr uint32_t kHangupDetectedPauseMs = 100;

} // namespace

bool TRelay::OpenCOMFromSettings() {
  CloseCOMPort();
  const bool opened = OpenCOM(FWindow.SelectedPort().toLocal8Bit().toStdString(), FWindow.CableBaudRate(), FCOMHandle);
  if (opened)
    FNeedCOMReconnect = false;
  return opened;
}

void TRelay::TakeOverCOM(TCOMHandle handle) {
  if (handle != FCOMHandle)
    CloseCOMPort();
  FCOMHandle = handle;
}

void TRelay::CloseCOMPort() {
  if (FCOMHandle == INVALID_HANDLE_VALUE)
    return;
  CancelCOMIo(FCOMHandle);
  CloseCOM(FCOMHandle);
}

int32_t TRelay::COMRead() {
  int32_t n = ReadCOM(FCOMHandle, FDataBuffer.data(), kDataBufferSize);
  if (FModemConnect && IsModemHangup(n)) {
    FWindow.ShowNoConnection(csModemLost, QStringLiteral("процедура COMRead"));
    Stop(TRelayEnd::ModemHangup);
    FClock.Sleep(kHangupDetectedPauseMs);
    SendATHAndClose();
    n = 0;
  }
  if (n == -1) {
    FWindow.WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    n = 0;
  }
  return n;
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
  CloseCOM(FCOMHandle);
}

bool TRelay::RequestVersionInfo() {
  // The request goes out as the driver takes it, like relayed bytes: a device
  // that cannot take it at once gets the rest while the reply is awaited.
  int32_t requestWritten = 0;
  const auto writeRequest = [&] {
    if (requestWritten < 0 || requestWritten >= kVersionRequest.size())
      return;
    const int32_t taken =
        COMWrite(kVersionRequest.constData() + requestWritten, int32_t(kVersionRequest.size()) - requestWritten);
    requestWritten = taken < 0 ? -1 : requestWritten + taken;
  };
  writeRequest();
  FWindow.WriteLogChunk(kVersionRequest, QStringLiteral("APP->COM"));
  const uint32_t start = FClock.TickCount();
  FVerInfo.clear();
  QByteArray reply;
  while (FClock.TickCount() - start < kIdentificationTimeoutMs) {
    writeRequest();
    const int32_t m = COMRead();
    if (m == 0) {
      // Poll again almost at once, without keeping a core busy for ten seconds.
      FClock.Sleep(1);
      continue;
    }
    reply.append(BufferToString(m));
    if (QString::fromLocal8Bit(reply).contains(kAnswerEnd)) {
      FWindow.WriteLogChunk(reply, QStringLiteral("COM->APP"));
      FVerInfo = reply;
      return true;
    }
  }
  return false;
}
