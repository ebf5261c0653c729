#pragma once
// The slow ends of a connection, done on a worker thread so that the window
// never waits for them: a port closed (a modem hung up first with its guard
// times, the output drained) and a setup program ended (its grace before the
// kill, its copy deleted). Jobs run one after another in the order given; the
// session opens a port again only once they are done.

#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QObject>
#include <QThread>

#include <functional>

// How a modem is hung up before its port is closed.
enum class THangUp {
  None,
  // The user's disconnect: "+" three times, 150 ms, "ATH", 150 ms.
  Escape,
  // A result code in the relayed data: 250 ms, "ATH", 150 ms.
  ResultCode,
};

class TTeardown : public QObject {
  Q_OBJECT

public:
  // `clock` paces the hang-up's guard times.
  explicit TTeardown(TClock &clock, QObject *parent = nullptr);
  // Finishes the jobs given: the program ends only once its ports are closed
  // and its programs stopped.
  ~TTeardown() override;

  void ClosePort(TCOMHandle handle, THangUp hangUp = THangUp::None);
  // Any other slow job; it runs on the worker thread and must touch nothing
  // the UI thread uses.
  void Run(std::function<void()> job);
  bool Busy() const { return FPending > 0; }

signals:
  // The jobs given so far have all finished.
  void Done();

private:
  TClock &FClock;
  QThread FThread;
  QObject FWorker;
  int FPending = 0;
};
