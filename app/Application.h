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
