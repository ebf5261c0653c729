// The main window's stored choices: port, connection type and phone history.
#include "app/MainFormUnit.h"

#include "app/PhoneHistory.h"
#include "app/RegStore.h"

#include <QComboBox>

namespace {
const QString kPortValue = QStringLiteral("COM");
const QString kChannelValue = QStringLiteral("CHANNEL");
} // namespace

void TMainTandrelForm::LoadPhoneNumbers() {
  const QString text = PhoneNumber->currentText();
  PhoneNumber->clear();
  PhoneNumber->addItems(LoadPhoneHistory(FStorePath));
  PhoneNumber->setEditText(text);
}

void TMainTandrelForm::StorePhoneNumber(const QString &number) {
  ::StorePhoneNumber(FStorePath, number);
  LoadPhoneNumbers();
}

void TMainTandrelForm::LoadSettings() {
  const TRegistryKey key(FStorePath);
  if (key.ValueExists(kPortValue))
    SelectComboItem(PortsListComboBox, key.ReadString(kPortValue));
  if (key.ValueExists(kChannelValue))
    ConnectTypeComboBox->setCurrentIndex(key.ReadInteger(kChannelValue));
}

void TMainTandrelForm::SaveSettings() {
  TRegistryKey key(FStorePath);
  key.WriteString(kPortValue, PortsListComboBox->currentText());
  key.WriteInteger(kChannelValue, ConnectTypeComboBox->currentIndex());
}
