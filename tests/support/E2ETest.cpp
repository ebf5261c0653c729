#include "E2ETest.h"

#include <QTest>

QString TE2ETest::mainWindow() const { return FDisplay.findWindow(TTandrelProcess::MainWindowTitle(), WindowTimeoutMs); }

bool TE2ETest::closeAndExitCleanly(TTandrelProcess &program, const QString &window) {
  return program.closeAndWait(FDisplay, window, ExitTimeoutMs) && program.exitedWithSuccess();
}

void TE2ETest::init() { QVERIFY2(FDisplay.isReady(), qPrintable(FDisplay.errorString())); }

void TE2ETest::cleanup() { FDisplay.screenshotIfFailed(); }
