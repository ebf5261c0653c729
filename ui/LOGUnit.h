#pragma once

#include <QStringList>
#include <QWidget>

class QAction;
class QCheckBox;
class QFileDialog;
class QListView;
class QMenu;
class TLogModel;

// The log window "Данные": a view of the log, hidden at start. The log
// records while it is shown.
class TLOGForm : public QWidget {
  Q_OBJECT
public:
  explicit TLOGForm(TLogModel &log, QWidget *parent = nullptr);

  QListView *Log;
  QCheckBox *AutiscrollCheckBox;
  QMenu *PopupMenu;
  QAction *N1;
  QAction *N2;
  QAction *N3; // "Шестнадцатеричный вид": checkable; the log follows it
  QAction *N4; // "Копировать", also Ctrl+C in the list
  QFileDialog *SaveDialog;

  QStringList Entries() const;
  // Puts the selected entries on the clipboard, one line each, in list order;
  // with nothing selected the clipboard keeps what it held.
  void N4Click();
  // Asks for a file name, then saves the list there; reports a failure in a box.
  void N2Click();
  void N1Click();
  // Saves to a chosen path (the part of N2Click after the dialog).
  void SaveTo(const QString &path);

protected:
  void showEvent(QShowEvent *event) override;
  void hideEvent(QHideEvent *event) override;

private:
  void ScrollAfterWrite(bool byDialer);

  TLogModel &FLog;
};
