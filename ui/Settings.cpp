// The main window's stored choices: port, connection type, phone history and
// the log window's view.
#include "ui/MainFormUnit.h"

#include "core/LogModel.h"
#include "core/PhoneHistory.h"
#include "core/RegStore.h"

#include <QComboBox>

#include <optional>

namespace {
const QString kPortValue = QStringLiteral("COM");
const QString kChannelValue = QStringLiteral("CHANNEL");
const QString kHexViewValue = QStringLiteral("HEXVIEW");
// Set by hand (no window has it): 1 restores the relay's fixed 50 ms pacing.
const QString kFixedPacingValue = QStringLiteral("FIXEDPACING");

template <typename TValue>
std::optional<TValue> ReadIfExists(const TRegistryKey &key, const QString &name,
                                   TValue (TRegistryKey::*read)(const QString &) const) {
  if (!key.ValueExists(name))
    return std::nullopt;
  return (key.*read)(name);
}
} // namespace

// Read before anything changes: a store that cannot be read leaves the box as it was.
void TMainTandrelForm::LoadPhoneNumbers() { ShowPhoneHistory(LoadPhoneHistory(FStorePath)); }

void TMainTandrelForm::LoadSettings() {
  // Every value is read before any is applied: a store that cannot be read
  // leaves the defaults.
  const TRegistryKey key(FStorePath);
  const std::optional<QString> port = ReadIfExists(key, kPortValue, &TRegistryKey::ReadString);
  const std::optional<int32_t> channel = ReadIfExists(key, kChannelValue, &TRegistryKey::ReadInteger);
  const std::optional<int32_t> hexView = ReadIfExists(key, kHexViewValue, &TRegistryKey::ReadInteger);
  const std::optional<int32_t> fixedPacing = ReadIfExists(key, kFixedPacingValue, &TRegistryKey::ReadInteger);
  if (port)
    SelectComboItem(PortsListComboBox, *port);
  // A type the list does not offer is taken as the default one.
  if (channel)
    ConnectTypeComboBox->setCurrentIndex(*channel >= 0 && *channel < ConnectTypeComboBox->count() ? *channel : 0);
  if (hexView)
    FLog.SetHexView(*hexView != 0);
  if (fixedPacing)
    FSession.SetFixedPacing(*fixedPacing != 0);
}

void TMainTandrelForm::SaveSettings() {
  TRegistryKey key(FStorePath);
  key.WriteString(kPortValue, PortsListComboBox->currentText());
  key.WriteInteger(kChannelValue, ConnectTypeComboBox->currentIndex());
  key.WriteInteger(kHexViewValue, FLog.HexView() ? 1 : 0);
}
