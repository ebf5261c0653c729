#include "core/LogModel.h"

#include "core/TimeFuncs.h"
#include "serial/RingThread.h"

#include <QSaveFile>

#include <algorithm>
#include <utility>

namespace {

constexpr qsizetype kHexLogBytes = 256;

} // namespace

QString HexLogText(QByteArrayView chunk) {
  const QByteArrayView shown = chunk.first(std::min(chunk.size(), kHexLogBytes));
  QString text = QStringLiteral("[%1]").arg(chunk.size());
  if (!shown.isEmpty())
    text += QLatin1Char(' ') + QString::fromLatin1(shown.toByteArray().toHex(' ').toUpper());
  if (chunk.size() > shown.size())
    text += QStringLiteral(" …%1").arg(chunk.size() - shown.size());
  return text;
}

bool SaveLogEntries(const QStringList &entries, const QString &path, QString *error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    *error = file.errorString();
    return false;
  }
  for (const QString &entry : entries) {
    file.write(entry.toLocal8Bit());
    file.write("\r\n", 2);
  }
  if (!file.commit()) {
    *error = file.errorString();
    return false;
  }
  return true;
}

TLogModel::TLogModel(QObject *parent) : QAbstractListModel(parent) {
  FShowTimer.setSingleShot(true);
  connect(&FShowTimer, &QTimer::timeout, this, &TLogModel::ShowPending);
}

int TLogModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : FShownRows; }

QVariant TLogModel::data(const QModelIndex &index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= FShownRows)
    return {};
  return FEntries.at(index.row());
}

void TLogModel::SetHexView(bool hex) {
  if (hex == FHexView)
    return;
  FHexView = hex;
  emit HexViewChanged(hex);
}

void TLogModel::WriteLog(const QString &text, const QString &prefix) {
  if (!FRecording)
    return;
  QString body = text;
  const qsizetype nul = body.indexOf(QChar(0));
  if (nul >= 0)
    body.truncate(nul);
  QStringList entries;
  for (const QString &line : SplitLogLines(body))
    entries.append(QStringLiteral("%1: %2 %3").arg(NowStamp(), prefix, line));
  Append(entries, false);
}

void TLogModel::WriteLogChunk(QByteArrayView chunk, const QString &prefix) {
  // Decoded only for a log window that shows it: this runs for every chunk.
  if (!FRecording)
    return;
  if (FHexView)
    Append({QStringLiteral("%1: %2 %3").arg(NowStamp(), prefix, HexLogText(chunk))}, false);
  else
    WriteLog(QString::fromLocal8Bit(chunk), prefix);
}

void TLogModel::AppendDialerLine(const QDateTime &at, const QString &prefix, const QString &text) {
  Append({TimeStamp(at) + QLatin1Char(':') + prefix + QLatin1Char(' ') + text}, true);
}

void TLogModel::Clear() {
  beginResetModel();
  FEntries.clear();
  FShownRows = 0;
  endResetModel();
}

// The writer empties the list before an entry whenever it holds more than
// kMaxEntries, so a long text can empty it in its middle; the dialer's lines
// never do, but they count.
void TLogModel::Append(const QStringList &entries, bool byDialer) {
  if (entries.isEmpty())
    return;
  for (const QString &entry : entries) {
    if (!byDialer && FEntries.size() > kMaxEntries)
      Clear();
    FEntries.append(entry);
  }
  FPendingByDialer = FPendingByDialer || byDialer;
  if (FShowPending)
    return;
  FShowPending = true;
  const qint64 wait = FSinceShown.isValid() ? kShowEveryMs - FSinceShown.elapsed() : 0;
  if (wait <= 0)
    QMetaObject::invokeMethod(this, &TLogModel::ShowPending, Qt::QueuedConnection);
  else
    FShowTimer.start(int(wait));
}

// The views take what came in one turn of the event loop as one insertion:
// at line rate a row at a time would cost more than the relay itself.
void TLogModel::ShowPending() {
  FShowPending = false;
  FShowTimer.stop();
  FSinceShown.start();
  const bool byDialer = std::exchange(FPendingByDialer, false);
  const int rows = int(FEntries.size());
  if (rows > FShownRows) {
    beginInsertRows({}, FShownRows, rows - 1);
    FShownRows = rows;
    endInsertRows();
  }
  emit Written(byDialer);
}
