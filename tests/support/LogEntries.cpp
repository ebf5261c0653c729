#include "LogEntries.h"

namespace {

constexpr qsizetype kStampLength = 24;

} // namespace

QStringList EntriesAfterStamps(const QStringList &entries) {
  QStringList texts;
  texts.reserve(entries.size());
  for (const QString &entry : entries)
    texts.append(entry.mid(kStampLength));
  return texts;
}
