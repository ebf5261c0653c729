#include "core/SetupFolders.h"

#include <QFileInfo>

QString ResolveSetupFolder(const QStringList &folders) {
  for (const QString &folder : folders) {
    if (QFileInfo(folder + QStringLiteral("/setup.ini")).isFile())
      return folder;
  }
  return folders.value(0);
}
