#include "core/RegStore.h"

TRegistryKey::TRegistryKey(const QString &storePath) : FStore(OpenSettingsStore(storePath)) {}

TRegistryKey::~TRegistryKey() = default;

bool TRegistryKey::ValueExists(const QString &name) const { return FStore->ValueExists(name.toStdU16String()); }

QString TRegistryKey::ReadString(const QString &name) const
{
  // Not QString::fromStdU16String: it takes a leading U+FEFF or U+FFFE for a
  // byte-order mark and drops or swaps it.
  return QStringView(FStore->ReadString(name.toStdU16String())).toString();
}

int32_t TRegistryKey::ReadInteger(const QString &name) const { return FStore->ReadInteger(name.toStdU16String()); }

void TRegistryKey::WriteString(const QString &name, const QString &value)
{
  FStore->WriteString(name.toStdU16String(), value.toStdU16String());
}

void TRegistryKey::WriteInteger(const QString &name, int32_t value)
{
  FStore->WriteInteger(name.toStdU16String(), value);
}
