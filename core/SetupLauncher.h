#pragma once
// Starts the setup program that setup.ini names for the identified device,
// from a copy in the user's private temporary folder, and ends it again.

#include "platform/PrivateTempFolder.h"
#include "platform/Process.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class TTeardown;

// The device key in an identification reply: the part before the first full
// stop of the first item after the first comma (double quotes ignored). An
// item without a full stop gives an empty key; a reply with nothing but
// blanks and control characters after its comma gives a null key.
QString DeviceKeyFromVerInfo(const QByteArray &verInfo);

// The value of the first "name=value" line of setup.ini whose name equals
// `key` ignoring case, blanks around both trimmed; null when no line matches
// (an empty value is empty, not null). A null key matches nothing.
QString LookupSetupIni(const QByteArray &iniBytes, const QString &key);

// Why a setup.ini value cannot name a setup program, or an empty text when
// it can: it must name a file directly in the program's folder.
QString ProblemWithProgramName(const QString &value);

// What a start came to, for the caller to report.
struct TSetupStart {
  // A box the launcher has for the user before the caller's own report
  // ("Оболочка не запущена, …"); empty when it has none.
  QString box;
  // Why a program that was found cannot run here, to be said in place of
  // the caller's usual "not found" (a Windows program and no wine); else empty.
  QString refusal;
};

class TSetupLauncher {
public:
  // Receives the lines the launcher has for the log.
  using TLog = std::function<void(const QString &line)>;

  // `exeDir` holds setup.ini and the setup programs; `teardown` ends a
  // stopped program off the UI thread.
  TSetupLauncher(const QString &exeDir, TTeardown &teardown, TLog log);
  ~TSetupLauncher();

  // Does nothing while a setup program is started; afterwards
  // SetupIsStarted() tells whether one was started. Every start runs a fresh
  // copy of the installed program; why none was started goes to the log or
  // comes back for the caller to show.
  TSetupStart StartSetupProgram(const QByteArray &verInfo);
  // Ends the started program with all it started and deletes its copy; the
  // teardown does the waiting, the launcher is ready for a start at once.
  void StopSetupProgram();

  bool SetupIsStarted() const { return FSetupIsStarted; }
  QString SetupFile() const { return FSetupFile; }
  // The started program's PID until it is stopped, -1 otherwise.
  qint64 SetupProcessId() const { return FSetupProcess ? FSetupProcess->Pid() : -1; }

private:
  QString PrivateFolder(TSetupStart &start) const;
  bool ReadSetupIni(QByteArray *ini, TSetupStart &start) const;
  QString ProgramNamed(const QByteArray &ini, const QString &key) const;
  bool StartCopy(const QString &program, const QString &privateFolder, TSetupStart &start);
  // Starts the copy, through wine when it is a Windows program here.
  bool StartProcess(const QString &copy, std::string *reason, TSetupStart &start);
  // Logs, once, that the started program has ended by itself.
  void TellIfEnded();

  QString FExeDir;
  TTeardown &FTeardown;
  TLog FLog;
  bool FSetupIsStarted = false;
  bool FEndTold = false;
  bool FThroughWine = false;
  QString FSetupFile;
  std::unique_ptr<TPrivateCopy> FCopy;
  std::unique_ptr<TProcess> FSetupProcess;
  QTimer FEndWatch;
};
