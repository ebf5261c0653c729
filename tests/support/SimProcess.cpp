#include "SimProcess.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int ReplyTimeoutMs = 5000;
constexpr int StopTimeoutMs = 5000;

QString ProgramFor(TSimProcess::TKind kind) {
#if defined(SIMDEVICE_BIN) && defined(SIMMODEM_BIN)
  return kind == TSimProcess::TKind::Device ? QStringLiteral(SIMDEVICE_BIN) : QStringLiteral(SIMMODEM_BIN);
#else
  Q_UNUSED(kind);
  return {};
#endif
}

} // namespace

TSimProcess::TSimProcess(TKind kind, const QStringList &extraArgs)
    : FDir(QDir::tempPath() + QStringLiteral("/tandrel-sim-XXXXXX")) {
  const QString program = ProgramFor(kind);
  if (!FDir.isValid() || program.isEmpty()) {
    FError = QStringLiteral("no temporary folder or no simulator program");
    return;
  }
  const QStringList args = QStringList{QStringLiteral("--link"), linkPath(),
                                       QStringLiteral("--control"), controlPath(),
                                       QStringLiteral("--log"), FDir.filePath(QStringLiteral("received.log")),
                                       // outlives no test run, even when its test crashes; extraArgs may override
                                       QStringLiteral("--time-limit"), QStringLiteral("300")} +
                           extraArgs;
  EndWithTheTest(FProcess);
  FProcess.start(program, args);
  FReady = waitForReady() && connectControl();
}

TSimProcess::~TSimProcess() { stop(); }

QString TSimProcess::linkPath() const { return FDir.filePath(QStringLiteral("port")); }

QString TSimProcess::controlPath() const { return FDir.filePath(QStringLiteral("control")); }

bool TSimProcess::waitForReady() {
  QByteArray output;
  if (WaitForOutput(FProcess, "READY\n", StartTimeoutMs, output))
    return true;
  FError = QStringLiteral("simulator not ready: %1 %2")
               .arg(FProcess.errorString(), QString::fromLocal8Bit(FProcess.readAllStandardError()));
  return false;
}

bool TSimProcess::connectControl() {
  FControl.connectToServer(controlPath());
  if (FControl.waitForConnected(ReplyTimeoutMs))
    return true;
  FError = QStringLiteral("control socket: ") + FControl.errorString();
  return false;
}

QString TSimProcess::command(const QString &line) {
  if (FControl.state() != QLocalSocket::ConnectedState)
    return {};
  FControl.write(line.toUtf8() + '\n');
  FControl.waitForBytesWritten(ReplyTimeoutMs);
  const QDeadlineTimer deadline(ReplyTimeoutMs);
  while (!FControl.canReadLine()) {
    if (deadline.hasExpired() || FControl.state() != QLocalSocket::ConnectedState)
      return {};
    FControl.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
  }
  return QString::fromUtf8(FControl.readLine()).trimmed();
}

QByteArray TSimProcess::receivedBytes() const {
  QFile log(FDir.filePath(QStringLiteral("received.log")));
  return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

void TSimProcess::stop() {
  FControl.abort();
  StopChild(FProcess, StopTimeoutMs);
}
