#pragma once
// Base of the tests that drive the real program on a private display: the
// display, a screenshot of it when a test fails, and the common waits.

#include "TandrelProcess.h"
#include "XSession.h"

#include <QObject>

class TE2ETest : public QObject {
  Q_OBJECT

protected:
  explicit TE2ETest(TXSession::TDesk desk = TXSession::TDesk::Bare) : FDisplay(desk) {}

  static constexpr int WindowTimeoutMs = 30000;
  static constexpr int StepTimeoutMs = 20000;
  static constexpr int ExitTimeoutMs = 30000;

  // The started program's main window, or an empty id when none appeared in time.
  QString mainWindow() const;
  // The same, with its bridge port set to `port` (the folder's) through the
  // TCP settings dialog, so that the test never takes the port of a wizard
  // that runs on this machine.
  QString mainWindow(quint16 port) const;
  QString mainWindow(const TTandrelFolder &folder) const { return mainWindow(folder.serverPort()); }
  // Closes `window` as its close button would; true once the program has
  // ended with status 0.
  bool closeAndExitCleanly(TTandrelProcess &program, const QString &window);

  TXSession FDisplay;

private slots:
  void init();
  void cleanup();
};
