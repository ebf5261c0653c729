#include "app/RegStore.h"

TRegistryKey::TRegistryKey(const QString &storePath) : FStore(OpenSettingsStore(storePath)) {}

TRegistryKey::~TRegistryKey() = default;

bool TRegistryKey::ValueExists(const QString &name) const { return FStore->ValueExists(name.toStdU16String()); }

QString TRegistryKey::ReadString(const QString &name) const
{
  return QString::fromStdU16String(FStore->ReadString(name.toStdU16String()));
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
