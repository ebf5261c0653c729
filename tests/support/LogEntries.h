#pragma once
// Reading a log the way the tests compare it.

#include <QStringList>

// The entries with their time stamp ("yyyy.MM.dd hh:mm:ss.zzz" and the colon
// after it) cut off: "<< AT", " Порт успешно открыт".
QStringList EntriesAfterStamps(const QStringList &entries);
