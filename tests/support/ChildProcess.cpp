#include "ChildProcess.h"

#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int KillTimeoutMs = 5000;

} // namespace

void EndWithTheTest(QProcess &process) {
  process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

bool WaitForOutput(QProcess &process, const QByteArray &marker, int timeoutMs, QByteArray &output) {
  const QDeadlineTimer deadline(timeoutMs);
  while (!output.contains(marker)) {
    if (process.state() == QProcess::NotRunning || deadline.hasExpired())
      return false;
    process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    output += process.readAllStandardOutput();
  }
  return true;
}

void StopChild(QProcess &process, int timeoutMs) {
  if (process.state() == QProcess::NotRunning)
    return;
  process.terminate(); // our own child only
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished(KillTimeoutMs);
  }
}

bool RunCommand(const QProcessEnvironment &environment, const QString &program, const QStringList &args,
                int timeoutMs, QByteArray *output) {
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(program, args);
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished(KillTimeoutMs);
    return false;
  }
  if (output)
    *output = process.readAllStandardOutput();
  return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
