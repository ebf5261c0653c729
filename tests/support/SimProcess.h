#pragma once
// Starts simdevice or simmodem in a temporary folder, talks to it over its
// control socket, and stops it (and only it) again on destruction.

#include <QByteArray>
#include <QLocalSocket>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TSimProcess {
public:
  enum class TKind { Device, Modem };

  // Starts the simulator with --link, --control, --log and `extraArgs` and
  // waits (bounded) until it is READY. Check isReady() before using it.
  explicit TSimProcess(TKind kind, const QStringList &extraArgs = {});
  ~TSimProcess();
  TSimProcess(const TSimProcess &) = delete;
  TSimProcess &operator=(const TSimProcess &) = delete;

  bool isReady() const { return FReady; }
  // Why it is not ready: the start failure and what the simulator printed.
  QString errorString() const { return FError; }
  // The path under which the simulated port is published.
  QString linkPath() const;
  // The control socket, for clients other than command().
  QString controlPath() const;
  // Sends one control command and returns the reply line ("OK ..." or
  // "ERR ..."), or an empty string when no reply came in time.
  QString command(const QString &line);
  // Every byte the simulator has received on its port, exactly as received.
  QByteArray receivedBytes() const;

private:
  bool waitForReady();
  bool connectControl();
  void stop();

  QTemporaryDir FDir;
  QProcess FProcess;
  QLocalSocket FControl;
  bool FReady = false;
  QString FError;
};
