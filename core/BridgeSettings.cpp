#include "core/BridgeSettings.h"

void TBridgeSettings::SetBaudRate(int32_t baudRate) {
  if (baudRate == FBaudRate)
    return;
  FBaudRate = baudRate;
  emit Changed();
}

void TBridgeSettings::SetServerPortText(const QString &text) {
  if (text == FServerPortText)
    return;
  FServerPortText = text;
  emit Changed();
}

quint16 TBridgeSettings::TakeServerPort() {
  bool isNumber = false;
  const int typed = FServerPortText.toInt(&isNumber);
  const int port = isNumber && typed >= 1024 && typed <= 65535 ? typed : kDefaultServerPort;
  SetServerPortText(QString::number(port));
  return quint16(port);
}
