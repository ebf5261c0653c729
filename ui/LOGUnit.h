#pragma once

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
  QFileDialog *SaveDialog;

  QStringList Entries() const;
  // Asks for a file name and saves the list there; reports a failure in a box.
  void N2Click();
  void N1Click();
  // Saves to a chosen path (the part of N2Click after the dialog).
  void SaveTo(const QString &path);
};
