#include "TandrelProcess.h"

#include "BridgeTestSupport.h"
#include "ChildProcess.h"
#include "TestFiles.h"
#include "XSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <sys/types.h>

namespace {

constexpr int StopTimeoutMs = 5000;
const QString ProbeName = QStringLiteral("setupprobe");

QString SetupProbeProgram() { return QStringLiteral(SETUPPROBE_BIN); }

bool CopyProgram(const QString &from, const QString &to) {
  return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString ProcFile(qint64 pid, const char *name) {
  return QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name));
}

// The fields of /proc/PID/stat after the parenthesised name: state, parent,
// process group, ...; empty when the process is gone.
QList<QByteArray> StatFields(const QString &pid) {
  const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
  const qsizetype nameEnd = stat.lastIndexOf(')');
  return nameEnd < 0 ? QList<QByteArray>() : stat.mid(nameEnd + 2).split(' ');
}

qint64 ParentOf(const QString &pid) {
  const QList<QByteArray> fields = StatFields(pid);
  return fields.size() < 2 ? -1 : fields[1].toLongLong();
}

// The process group of a process that runs, -1 for a zombie or none.
qint64 RunningGroupOf(const QString &pid) {
  const QList<QByteArray> fields = StatFields(pid);
  return fields.size() < 3 || fields[0] == "Z" || fields[0] == "X" ? -1 : fields[2].toLongLong();
}

// The numeric entries of /proc: every process.
QStringList ProcessIds() {
  QStringList ids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
  ids.removeIf([](const QString &entry) {
    bool numeric = false;
    entry.toLongLong(&numeric);
    return !numeric;
  });
  return ids;
}

} // namespace

// --- TSetupProbe --------------------------------------------------------------

TSetupProbe::TSetupProbe(const QString &recordDir, const QStringList &ownPaths)
    : FRecordDir(recordDir), FOwnPaths(ownPaths) {}

QByteArray TSetupProbe::readRecord(const QString &name) const { return ReadFile(FRecordDir + u'/' + name); }

qint64 TSetupProbe::pid() const {
  bool ok = false;
  const qint64 value = readRecord(QStringLiteral("pid")).trimmed().toLongLong(&ok);
  return ok ? value : -1;
}

bool TSetupProbe::exists() const {
  const qint64 id = pid();
  return id > 0 && QFileInfo::exists(ProcFile(id, "stat"));
}

qint64 TSetupProbe::processGroup() const {
  const qint64 id = pid();
  return id > 0 ? RunningGroupOf(QString::number(id)) : -1;
}

QString TSetupProbe::executable() const {
  const qint64 id = pid();
  return id > 0 ? QFile::symLinkTarget(ProcFile(id, "exe")) : QString();
}

int TSetupProbe::eventCount(const QByteArray &event) const {
  return int(readRecord(QStringLiteral("events")).split('\n').count(event));
}

int TSetupProbe::connectionCount() const { return eventCount("connected"); }

bool TSetupProbe::isConnected() const { return connectionCount() > eventCount("closed"); }

QByteArray TSetupProbe::received() const { return readRecord(QStringLiteral("received")); }

QByteArray TSetupProbe::sent() const { return readRecord(QStringLiteral("sent")); }

bool TSetupProbe::send(const QByteArray &bytes) {
  // Written under another name and renamed: the probe never sees half a file.
  const QString name = FRecordDir + QStringLiteral("/send-%1").arg(++FSendCount, 4, 10, QLatin1Char('0'));
  return WriteFile(name + QStringLiteral(".tmp"), bytes) &&
         QFile::rename(name + QStringLiteral(".tmp"), name + QStringLiteral(".bin"));
}

void TSetupProbe::killLeftover() const {
  QString running = executable();
  running.remove(QStringLiteral(" (deleted)"));
  if (!running.isEmpty() && FOwnPaths.contains(running))
    ::kill(static_cast<pid_t>(pid()), SIGKILL);
}

// --- TTandrelFolder -------------------------------------------------------------

TTandrelFolder::TTandrelFolder(const QByteArray &setupIni)
    : FDir(QDir::tempPath() + QStringLiteral("/tandrel-e2e-XXXXXX")),
      FProbe(FDir.filePath(QStringLiteral("probe")), {setupCopyPath(), FDir.filePath(QStringLiteral("bin/")) + ProbeName}),
      FServerPort(FreeTcpPort()) {
  if (!prepare(setupIni) && FError.isEmpty())
    FError = QStringLiteral("cannot prepare the program's folder in %1").arg(FDir.path());
}

TTandrelFolder::~TTandrelFolder() { FProbe.killLeftover(); }

bool TTandrelFolder::prepare(const QByteArray &setupIni) {
  if (!FDir.isValid())
    return false;
  const QString program = QStringLiteral(TANDREL_BIN);
  if (!QFileInfo(SetupProbeProgram()).isExecutable()) {
    FError = QStringLiteral("setupprobe is not built: ") + SetupProbeProgram();
    return false;
  }
  const QDir dir(FDir.path());
  // The runtime folder must be the user's own 0700 folder, as a session's is.
  return dir.mkdir(QStringLiteral("bin")) && dir.mkdir(QStringLiteral("config")) &&
         dir.mkdir(QStringLiteral("probe")) &&
         dir.mkdir(QStringLiteral("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
         CopyProgram(program, programPath()) &&
         CopyProgram(SetupProbeProgram(), FDir.filePath(QStringLiteral("bin/")) + ProbeName) &&
         WriteFile(FDir.filePath(QStringLiteral("bin/setup.ini")), setupIni);
}

QString TTandrelFolder::programPath() const { return FDir.filePath(QStringLiteral("bin/tandrel")); }

QString TTandrelFolder::outputPath() const { return FDir.filePath(QStringLiteral("output.log")); }

QString TTandrelFolder::runtimeDir() const { return FDir.filePath(QStringLiteral("runtime")); }

QString TTandrelFolder::settingsFile() const { return FDir.filePath(QStringLiteral("config/Korvel/Tandrel.reg")); }

QString TTandrelFolder::settingsText() const { return QString::fromUtf8(ReadFile(settingsFile())); }

QString TTandrelFolder::setupCopyPath(const QString &program) const {
  return runtimeDir() + QStringLiteral("/tandrel/") + program + QStringLiteral(".exe");
}

bool TTandrelFolder::addProgram(const QString &name, const QByteArray &script) const {
  const QString path = FDir.filePath(QStringLiteral("bin/")) + name;
  return WriteFile(path, script) &&
         QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool TTandrelFolder::writeSettings(const QString &port, int channel) const {
  QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n");
  text += QStringLiteral("\"COM\"=\"%1\"\r\n").arg(port);
  text += QStringLiteral("\"CHANNEL\"=dword:%1\r\n").arg(channel, 8, 16, QLatin1Char('0'));
  return QDir().mkpath(QFileInfo(settingsFile()).path()) && WriteFile(settingsFile(), text.toUtf8());
}

QProcessEnvironment ProgramEnvironment(const TXSession &display, const QString &privateDir) {
  QProcessEnvironment environment = display.environment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  // A bus that is not there: the program must not reach the desktop's
  // session bus (and libdbus leaks while it looks for one).
  environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                     QStringLiteral("unix:path=") + privateDir + QStringLiteral("/no-session-bus"));
  // Third-party caches that live until exit are no leaks of the program's.
  environment.insert(QStringLiteral("LSAN_OPTIONS"),
                     QStringLiteral("suppressions=" TANDREL_SOURCE_DIR "/tests/lsan.supp"));
  return environment;
}

QProcessEnvironment TTandrelFolder::environment(const TXSession &display, const QString &extraPorts) const {
  QProcessEnvironment environment = ProgramEnvironment(display, FDir.path());
  environment.insert(QStringLiteral("XDG_CONFIG_HOME"), FDir.filePath(QStringLiteral("config")));
  environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
  environment.insert(QStringLiteral("TANDREL_EXTRA_PORTS"), extraPorts);
  environment.insert(QStringLiteral("SETUPPROBE_DIR"), FDir.filePath(QStringLiteral("probe")));
  environment.insert(QStringLiteral("SETUPPROBE_PORT"), QString::number(FServerPort));
  environment.insert(FExtraEnvironment);
  return environment;
}

// --- TTandrelProcess ------------------------------------------------------------

QString TTandrelProcess::MainWindowTitle() { return QStringLiteral("Мастер подключения v." TANDREL_VERSION); }

TTandrelProcess::TTandrelProcess(const TTandrelFolder &folder, const TXSession &display, const QString &extraPorts) {
  FProcess.setProcessEnvironment(folder.environment(display, extraPorts));
  // To a file, not a pipe: a pipe nobody drains could stall the program.
  FProcess.setProcessChannelMode(QProcess::MergedChannels);
  FProcess.setStandardOutputFile(folder.outputPath(), QIODevice::Append);
  FOutputPath = folder.outputPath();
  FProcess.setWorkingDirectory(QFileInfo(folder.programPath()).path());
  EndWithTheTest(FProcess);
  FProcess.start(folder.programPath(), {});
  FProcess.waitForStarted(StopTimeoutMs);
}

TTandrelProcess::~TTandrelProcess() {
  if (FProcess.state() == QProcess::NotRunning)
    return;
  FProcess.kill(); // our own child only
  FProcess.waitForFinished(StopTimeoutMs);
}

bool TTandrelProcess::waitForExit(int timeoutMs) {
  return FProcess.state() == QProcess::NotRunning || FProcess.waitForFinished(timeoutMs);
}

bool TTandrelProcess::closeAndWait(const TXSession &display, const QString &window, int timeoutMs) {
  return display.closeWindow(window) && waitForExit(timeoutMs);
}

QString TTandrelProcess::output() const { return QString::fromLocal8Bit(ReadFile(FOutputPath)); }

QList<qint64> TTandrelProcess::children() const {
  QList<qint64> found;
  const qint64 self = pid();
  for (const QString &entry : ProcessIds()) {
    if (self > 0 && ParentOf(entry) == self)
      found.append(entry.toLongLong());
  }
  return found;
}

QList<qint64> LiveProcessesOfGroup(qint64 group) {
  QList<qint64> found;
  for (const QString &entry : ProcessIds()) {
    if (group > 0 && RunningGroupOf(entry) == group)
      found.append(entry.toLongLong());
  }
  return found;
}

QList<qint64> LiveProcessesNaming(const QString &path) {
  const QByteArray unixName = QFile::encodeName(path);
  const QByteArray wineName = "z:" + QByteArray(unixName).replace('/', '\\');
  QList<qint64> found;
  for (const QString &entry : ProcessIds()) {
    const QList<QByteArray> arguments = ReadFile(ProcFile(entry.toLongLong(), "cmdline")).split('\0');
    const bool names = std::any_of(arguments.begin(), arguments.end(), [&](const QByteArray &argument) {
      return argument == unixName || argument.compare(wineName, Qt::CaseInsensitive) == 0;
    });
    if (names && RunningGroupOf(entry) > 0)
      found.append(entry.toLongLong());
  }
  return found;
}
