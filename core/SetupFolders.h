#pragma once
// Where the wizard finds its device data: setup.ini and the setup programs it
// names. A portable copy keeps them beside the executable; an installed
// wizard on Linux finds them in the XDG data folders, where a vendor's package
// puts them (e.g. /usr/local/share/tandrel); on Windows they are always
// beside the executable.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The folders to search, the most important first: `exeDir`, then (not on
// Windows) tandrel/ in $XDG_DATA_HOME (default ~/.local/share) and in each
// $XDG_DATA_DIRS entry (default /usr/local/share:/usr/share). Relative paths
// are ignored, as the XDG base directory rules ask.
QStringList SetupDataFolders(const QString &exeDir, const QProcessEnvironment &environment);

// The first of `folders` that holds a setup.ini file; the first folder when
// none does, so that the missing file is reported for the executable's own.
QString ResolveSetupFolder(const QStringList &folders);
