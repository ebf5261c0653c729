#pragma once
// Reading a log list the way the tests compare it.

#include <QListWidget>
#include <QStringList>

// The list's entries with their time stamp ("yyyy.MM.dd hh:mm:ss.zzz" and the
// colon after it) cut off: "<< AT", " Порт успешно открыт".
QStringList EntriesAfterStamps(const QListWidget &log);
