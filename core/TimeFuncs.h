#pragma once

#include <QDateTime>
#include <QString>

// Local time as "yyyy.mm.dd hh:mm:ss.zzz"; the colons are the user's time separator.
QString NowStamp();
// The same for a moment already taken.
QString TimeStamp(const QDateTime &at);
