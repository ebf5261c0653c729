#include "LogEntries.h"

namespace {

constexpr qsizetype kStampLength = 24;

} // namespace

QStringList EntriesAfterStamps(const QListWidget &log) {
  QStringList texts;
  for (int row = 0; row < log.count(); ++row)
    texts.append(log.item(row)->text().mid(kStampLength));
  return texts;
}
