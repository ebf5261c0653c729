#pragma once

#include <QApplication>

// The application object with the top-level error reporting: an exception that
// escapes an event handler ends that handler, its text is shown in an error
// box, and the program goes on with the next event.
class TTandrelApplication : public QApplication {
  Q_OBJECT
public:
  TTandrelApplication(int &argc, char **argv);
  bool notify(QObject *receiver, QEvent *event) override;
};

// The top-level error reporting for the exception being handled: call it only
// from a catch block. Shows the error's text (or "Неизвестная ошибка") in an
// error box owned by `owner`.
void ReportCurrentError(QWidget *owner);
