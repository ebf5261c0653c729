// Port I/O of the main window through its transfer buffers, and the device
// identification that runs over it.
#include "app/MainFormUnit.h"

#include "serial/RingThread.h"
#include "ui/COMSettingsUnit.h"

#include <QComboBox>

#include <algorithm>
#include <cstring>

namespace {

const QByteArray kVersionRequest = QByteArrayLiteral("+VER_INFO=?\r\n");
const QString kAnswerEnd = QStringLiteral("OK\r\n");
constexpr uint32_t kIdentificationTimeoutMs = 10000;
constexpr int32_t kDefaultBaudRate = 19200;

} // namespace

int32_t TMainTandrelForm::COMRead() {
  int32_t n = ReadCOM(FCOMHandle, FDataBuffer.data(), kDataBufferSize);
  if (FModemConnect && IsModemHangup(n)) {
    ShowNoConnection(csModemLost, QStringLiteral("процедура COMRead"));
    FConnected = false;
    FClock.Sleep(100);
    SendATHAndClose();
    n = 0;
  }
  if (n == -1) {
    WriteLog(QStringLiteral("Ошибка чтения из COM порта"));
    n = 0;
  }
  return n;
}

bool TMainTandrelForm::IsModemHangup(int32_t n) {
  if (n <= 0)
    return false;
  const QString chunk = QString::fromLocal8Bit(BufferToString(n));
  const bool hangup = ModemErrorCode(chunk) != RING_CONNECTED;
  if (hangup) {
    WriteLog(QStringLiteral("Завершение работы по ошибке модема"));
    WriteLog(QStringLiteral("Последний полученный пакет:"));
    WriteLog(chunk);
  }
  return hangup;
}

int32_t TMainTandrelForm::COMWrite(const char *data, int32_t n) {
  // A full driver queue (0) is back-pressure; only a failure of the port counts.
  const int32_t written = WriteCOM(FCOMHandle, data, n);
  if (written < 0) {
    WriteLog(QStringLiteral("Ошибка записи в COM порт"));
    SetStatus(QStringLiteral("Прибор не доступен"), true);
    FNeedCOMReconnect = true;
    DropClientConnections();
  }
  return written;
}

QByteArray TMainTandrelForm::BufferToString(int32_t n) const {
  return QByteArray(FDataBuffer.data(), std::clamp<int32_t>(n, 0, kDataBufferSize));
}

int32_t TMainTandrelForm::StringToBuffer(const QByteArray &s) {
  const int32_t n = static_cast<int32_t>(std::min<qsizetype>(s.size(), kDataBufferSize));
  std::memcpy(FDataBuffer.data(), s.constData(), static_cast<size_t>(n));
  return n;
}

void TMainTandrelForm::CloseCOMPort() {
  if (FCOMHandle == INVALID_HANDLE_VALUE)
    return;
  CancelCOMIo(FCOMHandle);
  CloseCOM(FCOMHandle);
}

bool TMainTandrelForm::OpenCOMFromSettings() {
  CloseCOMPort();
  bool isNumber = false;
  int32_t baudRate = COMSettingsForm ? COMSettingsForm->SpeedComboBox->currentText().toInt(&isNumber) : 0;
  if (!isNumber)
    baudRate = kDefaultBaudRate;
  const bool opened = OpenCOM(PortsListComboBox->currentText().toLocal8Bit().toStdString(), baudRate, FCOMHandle);
  if (opened)
    FNeedCOMReconnect = false;
  return opened;
}

bool TMainTandrelForm::RequestVersionInfo() {
  const int32_t n = StringToBuffer(kVersionRequest);
  COMWrite(FDataBuffer.data(), n);
  WriteLogChunk(kVersionRequest, QStringLiteral("APP->COM"));
  const uint32_t start = FClock.TickCount();
  FVerInfo.clear();
  QByteArray reply;
  while (FClock.TickCount() - start < kIdentificationTimeoutMs) {
    const int32_t m = COMRead();
    if (m == 0) {
      // Poll again almost at once, without keeping a core busy for ten seconds.
      FClock.Sleep(1);
      continue;
    }
    reply.append(BufferToString(m));
    const QString text = QString::fromLocal8Bit(reply);
    if (text.contains(kAnswerEnd)) {
      WriteLogChunk(reply, QStringLiteral("COM->APP"));
      FVerInfo = reply;
      return true;
    }
  }
  return false;
}
