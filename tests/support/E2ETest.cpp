#include "E2ETest.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QThread>

namespace {

const QString TcpSettingsTitle = QStringLiteral("Настройки TCP сервера");

} // namespace

QString TE2ETest::mainWindow() const { return FDisplay.findWindow(TTandrelProcess::MainWindowTitle(), WindowTimeoutMs); }

QString TE2ETest::mainWindow(quint16 port) const {
  const QString window = mainWindow();
  if (window.isEmpty() || !FDisplay.key(window, QStringLiteral("ctrl+alt+t")))
    return {};
  const QString settings = FDisplay.findWindow(TcpSettingsTitle, WindowTimeoutMs);
  // The port box has the focus: replace its text, then press "Сохранить".
  const bool set = !settings.isEmpty() && FDisplay.key(settings, QStringLiteral("ctrl+a")) &&
                   FDisplay.type(settings, QString::number(port)) &&
                   FDisplay.key(settings, QStringLiteral("Tab")) && FDisplay.key(settings, QStringLiteral("space"));
  const QDeadlineTimer deadline(StepTimeoutMs);
  while (set && FDisplay.hasWindow(TcpSettingsTitle) && !deadline.hasExpired())
    QThread::msleep(50);
  return set && !FDisplay.hasWindow(TcpSettingsTitle) ? window : QString();
}

bool TE2ETest::closeAndExitCleanly(TTandrelProcess &program, const QString &window) {
  return program.closeAndWait(FDisplay, window, ExitTimeoutMs) && program.exitedWithSuccess();
}

void TE2ETest::init() { QVERIFY2(FDisplay.isReady(), qPrintable(FDisplay.errorString())); }

void TE2ETest::cleanup() { FDisplay.screenshotIfFailed(); }
