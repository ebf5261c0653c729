#pragma once
// A request to end the program by a signal (a logout, a kill) closes the main
// window as its close button would: the connection ends, the setup program
// is stopped and the settings are saved.

#include <QObject>

class QWidget;

class TQuitRequests : public QObject {
public:
  explicit TQuitRequests(QWidget *window);
};
