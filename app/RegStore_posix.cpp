#include "app/RegFileStore.h"
#include "app/RegStore.h"

#include <QDir>

std::unique_ptr<TSettingsStore> OpenSettingsStore(const QString &storePath)
{
  return std::make_unique<TRegFileStore>(storePath);
}

QString TRegistryKey::DefaultStorePath()
{
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!QDir::isAbsolutePath(base)) // relative values are to be ignored
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/Korvel/Tandrel.reg");
}
