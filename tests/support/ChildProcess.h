#pragma once
// Starting, watching and ending the helper programs a test runs as its own
// children.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Makes `process`, once started, die with the test process, so even a test
// killed by a signal leaves no display or program behind.
void EndWithTheTest(QProcess &process);

// Reads the child's standard output into `output` until it holds `marker`.
// False when the child ends or `timeoutMs` runs out first.
bool WaitForOutput(QProcess &process, const QByteArray &marker, int timeoutMs, QByteArray &output);

// Asks the child to end (SIGTERM) and kills it if it has not within `timeoutMs`.
void StopChild(QProcess &process, int timeoutMs);

// Runs a short command to its end, killing it after `timeoutMs`. True for a
// normal exit with status 0; `output` (if given) gets its standard output.
bool RunCommand(const QProcessEnvironment &environment, const QString &program, const QStringList &args,
                int timeoutMs, QByteArray *output = nullptr);
