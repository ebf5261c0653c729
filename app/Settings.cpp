// The main window's stored choices: port, connection type, phone history and
// the log window's view.
#include "app/MainFormUnit.h"

#include "app/PhoneHistory.h"
#include "app/RegStore.h"

#include <QComboBox>

namespace {
const QString kPortValue = QStringLiteral("COM");
const QString kChannelValue = QStringLiteral("CHANNEL");
const QString kHexViewValue = QStringLiteral("HEXVIEW");
// Set by hand (no window has it): 1 restores the relay's fixed 50 ms pacing.
const QString kFixedPacingValue = QStringLiteral("FIXEDPACING");
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
  if (key.ValueExists(kHexViewValue))
    FHexLogView = key.ReadInteger(kHexViewValue) != 0;
  if (key.ValueExists(kFixedPacingValue))
    FRelay->SetFixedPacing(key.ReadInteger(kFixedPacingValue) != 0);
}

void TMainTandrelForm::SaveSettings() {
  TRegistryKey key(FStorePath);
  key.WriteString(kPortValue, PortsListComboBox->currentText());
  key.WriteInteger(kChannelValue, ConnectTypeComboBox->currentIndex());
  key.WriteInteger(kHexViewValue, FHexLogView ? 1 : 0);
}
