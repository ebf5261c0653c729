#include "app/RegStore.h"

#include "platform/RegistryStore.h"

std::unique_ptr<TSettingsStore> OpenSettingsStore(const QString &storePath)
{
  return OpenRegistryStore(storePath.toStdU16String());
}

QString TRegistryKey::DefaultStorePath() { return QStringLiteral("SOFTWARE\\Korvel\\Tandrel\\"); }
