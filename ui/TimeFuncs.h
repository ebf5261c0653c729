#pragma once

#include <QString>

// Local time as "yyyy.mm.dd hh:mm:ss.zzz"; the colons are the user's time separator.
QString NowStamp();
