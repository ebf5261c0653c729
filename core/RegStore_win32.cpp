#include "core/RegStore.h"

#include "platform/RegistryStore.h"

#include <QDateTime>

std::unique_ptr<TSettingsStore> OpenSettingsStore(const QString &storePath)
{
  return OpenRegistryStore(storePath.toStdU16String());
}

QString TRegistryKey::DefaultStorePath() { return QStringLiteral("SOFTWARE\\Korvel\\Tandrel\\"); }

QString SetAsideBrokenStore(const QString &storePath, QString *error)
{
  const QString suffix =
      QStringLiteral(".broken-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hhmmss"));
  std::string reason;
  const std::u16string aside = SetAsideRegistryKey(storePath.toStdU16String(), suffix.toStdU16String(), &reason);
  if (aside.empty())
    *error = QString::fromStdString(reason);
  return aside.empty() ? QString() : QStringLiteral("HKEY_CURRENT_USER\\") + QString::fromStdU16String(aside);
}
