#pragma once

#include <QByteArrayView>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QFileDialog;
class QListWidget;
class QMenu;
class QAction;

// Writes the entries to `path`, CR LF after each, in the local 8-bit encoding.
// Returns false with a reason in `error` when the file cannot be written; an
// existing file is then left as it was.
bool SaveLogEntries(const QStringList &entries, const QString &path, QString *error);

// A chunk of bytes as the text of one log entry in the hex view: the byte
// count in brackets, then the bytes as upper-case hex pairs, "[3] 3F 00 0D".
// Only the first 256 bytes are spelt out; "…" and the number of bytes left
// out follow them, so a full transfer buffer does not make a 100 KB line.
QString HexLogText(QByteArrayView chunk);

// The log window "Данные": a list of everything the bridge did, hidden at start.
class TLOGForm : public QWidget {
  Q_OBJECT
public:
  explicit TLOGForm(QWidget *parent = nullptr);

  QListWidget *Log;
  QCheckBox *AutiscrollCheckBox;
  QMenu *PopupMenu;
  QAction *N1;
  QAction *N2;
  QAction *N3; // "Шестнадцатеричный вид": checkable; the main window follows it
  QAction *N4; // "Копировать", also Ctrl+C in the list
  QFileDialog *SaveDialog;

  QStringList Entries() const;
  // Puts the selected entries on the clipboard, one line each, in list order;
  // with nothing selected the clipboard keeps what it held.
  void N4Click();
  // Asks for a file name and saves the list there; reports a failure in a box.
  void N2Click();
  void N1Click();
  // Saves to a chosen path (the part of N2Click after the dialog).
  void SaveTo(const QString &path);
};
