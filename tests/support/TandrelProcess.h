#pragma once
// The real program under test, run from a private copy of its folder:
// TTandrelFolder holds the copy with setup.ini and the setup probe beside it
// plus private config and runtime folders; TTandrelProcess is one run of the
// program there; TSetupProbe reads what the started probe recorded.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TXSession;

// The setup program stand-in (tools/setupprobe) as seen from outside.
class TSetupProbe {
public:
  // `recordDir` is its SETUPPROBE_DIR; `ownPaths` the files a probe of this
  // test may run from (the copy the program starts, the probe itself).
  TSetupProbe(const QString &recordDir, const QStringList &ownPaths);

  // The last started probe's PID, -1 before any has started.
  qint64 pid() const;
  // Whether the last started probe's process exists at all (zombies count).
  bool exists() const;
  // The process group of the last started probe while it runs, -1 otherwise.
  qint64 processGroup() const;
  // The file its process runs, from /proc; empty when it is gone.
  QString executable() const;
  // Connections made and ended so far, over all probe runs.
  int connectionCount() const;
  bool isConnected() const;
  QByteArray received() const;
  QByteArray sent() const;
  // Its connection events, one a line, for failure messages.
  QByteArray events() const { return readRecord(QStringLiteral("events")); }
  // Hands the probe bytes to send on its current (or next) connection.
  bool send(const QByteArray &bytes);
  // Kills a probe that the program left running; only a process that runs
  // one of our files, so a reused PID is never hit.
  void killLeftover() const;

private:
  QByteArray readRecord(const QString &name) const;
  int eventCount(const QByteArray &event) const;

  QString FRecordDir;
  QStringList FOwnPaths;
  int FSendCount = 0;
};

// `display`'s environment for one of our Qt programs: the X platform, a UTF-8
// locale, no session bus, the leak suppressions; `privateDir` is the test's
// own folder.
QProcessEnvironment ProgramEnvironment(const TXSession &display, const QString &privateDir);

class TTandrelFolder {
public:
  // Device key of simdevice's default reply, named to start the probe.
  static constexpr const char *DefaultSetupIni = "DEMO=setupprobe\r\n";

  explicit TTandrelFolder(const QByteArray &setupIni = DefaultSetupIni);
  ~TTandrelFolder();
  TTandrelFolder(const TTandrelFolder &) = delete;
  TTandrelFolder &operator=(const TTandrelFolder &) = delete;

  bool isValid() const { return FError.isEmpty(); }
  QString errorString() const { return FError; }

  QString programPath() const;
  // The bridge port for runs in this folder: free when the folder was made,
  // set through the TCP settings dialog, and where the setup probe connects.
  quint16 serverPort() const { return FServerPort; }
  QString settingsFile() const;
  QString settingsText() const;
  // Writes the settings file as a previous run would have left it.
  bool writeSettings(const QString &port, int channel) const;
  // Where the program copies the setup program to and starts it from.
  QString setupCopyPath(const QString &program = QStringLiteral("setupprobe")) const;
  // Puts an executable script beside the program, for setup.ini to name.
  bool addProgram(const QString &name, const QByteArray &script) const;
  // Adds a variable to the environment of the program's later runs.
  void addEnvironment(const QString &name, const QString &value) { FExtraEnvironment.insert(name, value); }
  // A path in the folder, for files a test puts there.
  QString path(const QString &name) const { return FDir.filePath(name); }
  TSetupProbe &probe() { return FProbe; }
  // Where the program's runs print to.
  QString outputPath() const;
  // The program's private environment on `display`.
  QProcessEnvironment environment(const TXSession &display, const QString &extraPorts) const;

private:
  bool prepare(const QByteArray &setupIni);
  QString runtimeDir() const;

  QTemporaryDir FDir;
  QString FError;
  TSetupProbe FProbe;
  quint16 FServerPort;
  QProcessEnvironment FExtraEnvironment;
};

// The processes of `group` that still run (zombies do not count).
QList<qint64> LiveProcessesOfGroup(qint64 group);
// The processes that still run with `path`, or the name a Windows program
// under wine gives it (Z:\...), as an argument of their command line.
QList<qint64> LiveProcessesNaming(const QString &path);

class TTandrelProcess {
public:
  // The main window's exact title.
  static QString MainWindowTitle();
  // A point on the connect label, in the main window's client area.
  static constexpr int ConnectX = 30;
  static constexpr int ConnectY = 95;

  // Starts the program in `folder`, on `display`, with `extraPorts` as its
  // TANDREL_EXTRA_PORTS.
  TTandrelProcess(const TTandrelFolder &folder, const TXSession &display, const QString &extraPorts);
  // Kills the program if it still runs.
  ~TTandrelProcess();
  TTandrelProcess(const TTandrelProcess &) = delete;
  TTandrelProcess &operator=(const TTandrelProcess &) = delete;

  bool isRunning() const { return FProcess.state() != QProcess::NotRunning; }
  qint64 pid() const { return FProcess.processId(); }
  // True when it ended on its own within the time.
  bool waitForExit(int timeoutMs);
  // Closes its main window as a user would and waits for the program to end.
  bool closeAndWait(const TXSession &display, const QString &window, int timeoutMs);
  // Ended by returning 0, not by a signal.
  bool exitedWithSuccess() const {
    return FProcess.state() == QProcess::NotRunning && FProcess.exitStatus() == QProcess::NormalExit &&
           FProcess.exitCode() == 0;
  }
  // Everything the runs in its folder printed (warnings, sanitizer reports),
  // for failure messages.
  QString output() const;
  // PIDs of its child processes that still exist (zombies included).
  QList<qint64> children() const;

private:
  QProcess FProcess;
  QString FOutputPath;
};
