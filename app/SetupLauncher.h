#pragma once
// Starts the setup program that setup.ini names for the identified device,
// from a copy in the user's private temporary folder, and ends it again.

#include "platform/Process.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

class QWidget;

// The device key in an identification reply: the part before the first full
// stop of the first item after the first comma (double quotes ignored). An
// item without a full stop gives an empty key; a reply with nothing but
// blanks and control characters after its comma gives a null key.
QString DeviceKeyFromVerInfo(const QByteArray &verInfo);

// The value of the first "name=value" line of setup.ini whose name equals
// `key` ignoring case; empty when no line matches. A null key matches nothing.
QString LookupSetupIni(const QByteArray &iniBytes, const QString &key);

class TSetupLauncher {
public:
  // `exeDir` holds setup.ini and the setup programs; `owner` owns the boxes.
  TSetupLauncher(const QString &exeDir, QWidget *owner);
  ~TSetupLauncher();

  // Does nothing while a setup program is started; afterwards
  // SetupIsStarted() tells whether one was started.
  void StartSetupProgram(const QByteArray &verInfo);
  // Kills the started program and deletes its copy.
  void StopSetupProgram();

  bool SetupIsStarted() const { return FSetupIsStarted; }
  QString SetupFile() const { return FSetupFile; }
  // -1 once the process has been reaped (or none was started).
  qint64 SetupProcessId() const { return FSetupProcess.Pid(); }

private:
  QString CopyToPrivateFolder(const QString &value, const QString &privateFolder) const;
  bool StartCandidate(const QString &candidate, const QString &privateFolder);
  void ReapIfExited();

  QString FExeDir;
  QWidget *FOwner;
  bool FSetupIsStarted = false;
  QString FSetupFile;
  TProcess FSetupProcess;
  QTimer FReapTimer;
};
