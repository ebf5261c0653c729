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

// The log stamps every relayed chunk: the local time's fields are worked out
// once a second (each conversion asks the C library for the time zone) and
// only the milliseconds per call.
QString NowStamp() {
  thread_local qint64 stampedSecond = -1;
  thread_local QString secondStamp;
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  const qint64 second = now / 1000;
  if (second != stampedSecond) {
    secondStamp = TimeStamp(QDateTime::fromMSecsSinceEpoch(second * 1000));
    secondStamp.chop(3); // the milliseconds, "000"
    stampedSecond = second;
  }
  return secondStamp + QStringLiteral("%1").arg(now % 1000, 3, 10, QLatin1Char('0'));
}
