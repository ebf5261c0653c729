#include "core/SetupFolders.h"

#include <QDir>

namespace {

const QString kSubfolder = QStringLiteral("tandrel");

bool IsUsable(const QString &base) { return QDir::isAbsolutePath(base); }

// An unset, empty or relative $XDG_DATA_HOME gives ~/.local/share.
QString DataHome(const QProcessEnvironment &environment) {
  const QString value = environment.value(QStringLiteral("XDG_DATA_HOME"));
  if (IsUsable(value))
    return value;
  const QString home = environment.value(QStringLiteral("HOME"));
  return home.isEmpty() ? QString() : home + QStringLiteral("/.local/share");
}

QStringList DataDirs(const QProcessEnvironment &environment) {
  QString value = environment.value(QStringLiteral("XDG_DATA_DIRS"));
  if (value.isEmpty())
    value = QStringLiteral("/usr/local/share/:/usr/share/");
  return value.split(u':');
}

} // namespace

QStringList SetupDataFolders(const QString &exeDir, const QProcessEnvironment &environment) {
  QStringList folders{QDir::cleanPath(exeDir)};
  for (const QString &base : QStringList{DataHome(environment)} + DataDirs(environment)) {
    if (IsUsable(base))
      folders.append(QDir::cleanPath(base + u'/' + kSubfolder));
  }
  return folders;
}
