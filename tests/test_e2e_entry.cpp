// The real program on a private display: the single-instance rule, the
// extra ports it lists, and a broken settings file.

#include "E2ETest.h"
#include "SimProcess.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

class TestE2EEntry : public TE2ETest {
  Q_OBJECT

private slots:
  void secondStartWarnsAndLeavesTheFirstRunning() {
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    TTandrelProcess first(folder, FDisplay, QString());
    const QString window = mainWindow(folder);
    QVERIFY2(!window.isEmpty(), qPrintable(first.output()));

    TTandrelProcess second(folder, FDisplay, QString());
    const QString warning = FDisplay.findWindow(QStringLiteral("Предупреждение"), WindowTimeoutMs);
    QVERIFY2(!warning.isEmpty(), qPrintable(second.output()));
    QVERIFY(FDisplay.key(warning, QStringLiteral("Return")));
    QVERIFY2(second.waitForExit(ExitTimeoutMs), qPrintable(second.output()));
    QVERIFY2(second.exitedWithSuccess(), qPrintable(second.output()));

    QVERIFY(first.isRunning());
    QVERIFY(FDisplay.windowExists(window));
    QVERIFY2(closeAndExitCleanly(first, window), qPrintable(first.output()));
  }

  // The settings name the simulated port; a connect reaches it only if the
  // program listed it, since a stored port that is not listed selects nothing.
  void extraPortIsListedAndReachable() {
    TSimProcess device(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")});
    QVERIFY2(device.isReady(), qPrintable(device.errorString()));
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    QVERIFY(folder.writeSettings(device.linkPath(), 1));
    TTandrelProcess program(folder, FDisplay, device.linkPath());
    const QString window = mainWindow(folder);
    QVERIFY2(!window.isEmpty(), qPrintable(program.output()));

    QVERIFY(FDisplay.click(window, TTandrelProcess::ConnectX, TTandrelProcess::ConnectY));
    QTRY_VERIFY_WITH_TIMEOUT(device.receivedBytes().contains("+VER_INFO=?\r\n"), StepTimeoutMs);
    // The silent device ends the attempt with an error box; answering it lets
    // the program close normally.
    const QString error = FDisplay.findWindow(QStringLiteral("Ошибка"), WindowTimeoutMs);
    QVERIFY(!error.isEmpty());
    QVERIFY(FDisplay.key(error, QStringLiteral("Return")));
    QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
  }

  // Reported once at start, set aside, and the next exit is silent: a box
  // at the close would keep the program from ending.
  void truncatedSettingsAreSetAsideAndTheNextRunIsQuiet() {
    TTandrelFolder folder;
    QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
    const QByteArray truncated = "Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n\"COM\"=\"/dev/tt";
    QVERIFY(QDir().mkpath(QFileInfo(folder.settingsFile()).path()));
    QFile file(folder.settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(truncated) == truncated.size());
    file.close();
    // Any path that exists is listed as a port: no box for an empty port list.
    const QString port = folder.programPath();

    {
      TTandrelProcess program(folder, FDisplay, port);
      const QString error = FDisplay.findWindow(QStringLiteral("Ошибка"), WindowTimeoutMs);
      QVERIFY2(!error.isEmpty(), qPrintable(program.output()));
      QVERIFY(FDisplay.key(error, QStringLiteral("Return")));
      const QString window = mainWindow();
      QVERIFY2(!window.isEmpty(), qPrintable(program.output()));
      QVERIFY2(closeAndExitCleanly(program, window), qPrintable(program.output()));
    }
    const QDir config(QFileInfo(folder.settingsFile()).path());
    const QStringList aside = config.entryList({QStringLiteral("Tandrel.reg.broken-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(config.filePath(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), truncated);
    QVERIFY2(folder.settingsText().contains(QStringLiteral("\"CHANNEL\"=dword:00000000")), qPrintable(folder.settingsText()));

    TTandrelProcess again(folder, FDisplay, port);
    const QString window = mainWindow();
    QVERIFY2(!window.isEmpty(), qPrintable(again.output()));
    QVERIFY(!FDisplay.hasWindow(QStringLiteral("Ошибка")));
    QVERIFY2(closeAndExitCleanly(again, window), qPrintable(again.output()));
  }
};

QTEST_GUILESS_MAIN(TestE2EEntry)
#include "test_e2e_entry.moc"
