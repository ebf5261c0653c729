#include "core/RegFileStore.h"
#include "core/RegStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

QString SetAsideBrokenStore(const QString &storePath, QString *error)
{
  // More than one in the same second gets a number.
  constexpr int kMaxAttempts = 100;
  const QString stem =
      storePath + QStringLiteral(".broken-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hhmmss"));
  QFile store(storePath);
  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    const QString aside = attempt == 1 ? stem : stem + QStringLiteral("-%1").arg(attempt);
    // rename never replaces an existing file.
    if (store.rename(aside))
      return aside;
    if (!QFileInfo::exists(aside))
      break;
  }
  *error = store.errorString();
  return QString();
}
