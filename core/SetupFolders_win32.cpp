#include "core/SetupFolders.h"

#include <QDir>

// A Windows installation keeps its device data beside the executable.
QStringList SetupDataFolders(const QString &exeDir, const QProcessEnvironment &) {
  return {QDir::cleanPath(exeDir)};
}
