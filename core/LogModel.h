#pragma once
// The log of what the bridge does, as the log window shows it: one entry a
// line, each with its time stamp. The bridge's writer records only while the
// log window is shown (and before any view is there, so what start-up has to
// say is kept) and empties the list above 2000 entries; the dialer's lines
// come whatever the window does, in a format of their own, never empty the
// list, and ask the view to show them.

#include <QAbstractListModel>
#include <QByteArrayView>
#include <QDateTime>
#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

// A chunk of bytes as the text of one log entry in the hex view: the byte
// count in brackets, then the bytes as upper-case hex pairs, "[3] 3F 00 0D".
// Only the first 256 bytes are spelt out; "…" and the number of bytes left
// out follow them, so a full transfer buffer does not make a 100 KB line.
QString HexLogText(QByteArrayView chunk);

// Writes the entries to `path`, CR LF after each, in the local 8-bit encoding.
// Returns false with a reason in `error` when the file cannot be written; an
// existing file is then left as it was.
bool SaveLogEntries(const QStringList &entries, const QString &path, QString *error);

class TLogModel : public QAbstractListModel {
  Q_OBJECT

public:
  // The writer empties a list that holds more entries than this.
  static constexpr int kMaxEntries = 2000;
  // The views are told of new entries at most this often (the first entry
  // after a quiet spell at the event loop's next turn): a repaint of the list
  // for every chunk at line rate costs far more than the relay itself, and
  // ten a second still reads as live.
  static constexpr int kShowEveryMs = 100;

  explicit TLogModel(QObject *parent = nullptr);

  int rowCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

  // Whether the writer records: the log window is shown.
  void SetRecording(bool recording) { FRecording = recording; }
  bool Recording() const { return FRecording; }
  // "Шестнадцатеричный вид": relayed chunks as hex rather than as text.
  void SetHexView(bool hex);
  bool HexView() const { return FHexView; }

  // The bridge's writer: one entry per line of `text` (split at CR, LF and CR
  // LF once it holds a CR; cut at a NUL), "stamp: prefix line".
  void WriteLog(const QString &text, const QString &prefix = QString());
  // A chunk of relayed or identification bytes, as text split into lines
  // like WriteLog, or as one hex entry; decoded only while recording.
  void WriteLogChunk(QByteArrayView chunk, const QString &prefix);
  // A line of the dialer, made at `at`: "stamp:prefix text".
  void AppendDialerLine(const QDateTime &at, const QString &prefix, const QString &text);

  // "Очистить".
  void Clear();
  // Every entry, also those the views are told of at the event loop's next
  // turn.
  const QStringList &Entries() const { return FEntries; }

signals:
  // Entries were added and the views have them: some by the dialer (always
  // shown), or all by the writer (shown when the view scrolls automatically).
  void Written(bool byDialer);
  void HexViewChanged(bool hex);

private:
  void Append(const QStringList &entries, bool byDialer);
  void ShowPending();

  QStringList FEntries;
  int FShownRows = 0; // the entries the views have been told of
  bool FShowPending = false;
  QElapsedTimer FSinceShown;
  QTimer FShowTimer;
  bool FPendingByDialer = false;
  bool FRecording = true;
  bool FHexView = false;
};
