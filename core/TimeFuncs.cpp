#include "core/TimeFuncs.h"

#include <QLocale>

namespace {

// The first character between the hour and minute fields of the locale's time format.
QChar TimeSeparator() {
  const QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
  const qsizetype hour = format.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
  if (hour >= 0) {
    for (qsizetype i = hour; i < format.size(); ++i) {
      const QChar c = format.at(i);
      if (c.toLower() != QLatin1Char('h'))
        return c.isLetterOrNumber() || c.isSpace() ? QLatin1Char(':') : c;
    }
  }
  return QLatin1Char(':');
}

} // namespace

QString TimeStamp(const QDateTime &at) {
  static const QString format = QStringLiteral("yyyy.MM.dd hh'%1'mm'%1'ss.zzz").arg(TimeSeparator());
  return at.toString(format);
}

QString NowStamp() { return TimeStamp(QDateTime::currentDateTime()); }
