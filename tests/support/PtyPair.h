#pragma once
// A pseudo-terminal standing in for a serial device. The port side is
// published as a symlink in a private temporary folder; the test plays the
// device on the master side. The port side starts at the kernel's default
// line settings. Everything is closed and removed on destruction.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class TPtyPair {
public:
  explicit TPtyPair(const QString &linkName = QStringLiteral("ttySIM0"));
  ~TPtyPair();
  TPtyPair(const TPtyPair &) = delete;
  TPtyPair &operator=(const TPtyPair &) = delete;

  bool IsValid() const {
    return FMaster >= 0 && FSlave >= 0 && !FLinkPath.isEmpty();
  }
  // The symlink to open as the port.
  QString Path() const { return FLinkPath; }
  int MasterFd() const { return FMaster; }
  // A descriptor of the port side held open for the pair's life, so the
  // device side never sees a hang-up while the port is closed.
  int SlaveFd() const { return FSlave; }

  // Device -> port. False when not all bytes could be written within timeoutMs.
  bool Send(const QByteArray &bytes, int timeoutMs = 2000);
  // Port -> device: waits up to timeoutMs until `count` bytes arrived; returns
  // what came (fewer on time-out).
  QByteArray Receive(int count, int timeoutMs = 2000);
  // Port -> device: everything queued right now, without waiting.
  QByteArray ReceiveAvailable();

private:
  QTemporaryDir FDir;
  int FMaster = -1;
  int FSlave = -1;
  QString FLinkPath;
};
