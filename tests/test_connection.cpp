// Whole cable connections in the window: the connect label, the main loop, the
// relay, recovery from an unplugged port, the failure paths and the teardown,
// against the simulated device and a loopback client as the setup program.
#include "BridgeTestSupport.h"
#include "MainFormFixture.h"
#include "ConnectionFixture.h"
#include "SlowedClock.h"
#include "app/RegStore.h"
#include "ui/COMSettingsUnit.h"
#include "ui/LOGUnit.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QToolButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTimer>
#include <QtTest>

#include <csignal>


class TestConnection : public QObject {
  Q_OBJECT

private slots:
  void wholeCableConnectionRelaysBothWaysAndTearsDown();
  void bytesBeforeTheClientConnectsAreLoggedAndDropped();
  void unpluggedPortIsReopenedAndTheServerRestarted();
  void silentDeviceTakesFailurePathA();
  void unlistedDeviceTakesFailurePathB();
  void windowsProgramWithoutWineEndsLikeFailurePathBWithItsReason();
  void setupProgramThatDiesIsLoggedAndTheRelayGoesOn();
  void portInUseShowsBusyAndTheNextClickCancels();
  void clickWhileTheLoopEndsActsOnceItHasReturned();
  void closeDropsAClickSavedWhileTheLoopEnds();
  void errorInTheDisconnectIsReportedAndTheConnectionEnds();
  void takenServerPortEndsTheAttemptInOrder();
  void closingTheWindowEndsTheConnectionAndSavesSettings();
  void blockingEchoDeviceGivesBackAMebibyteSentAtOnce();
  void fullDuplexAtLineRateLosesNothing();
  void burstRepliesReachTheClientInOnePiece();
  void replyLeavesWithinThePassUnlessPacingIsFixed_data();
  void replyLeavesWithinThePassUnlessPacingIsFixed();
};

namespace {

// The simulated device's stream pattern: byte i is i mod 251.
QByteArray StreamPattern(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (qsizetype i = 0; i < size; ++i)
    bytes[i] = char(i % 251);
  return bytes;
}

// A scenario step that records a failure whenever the relay has had to give
// up its port or its client since the connection started.
TScenario::TStep StaysConnected(TScenario &scenario, TConnectionFixture &cable, TScenario::TStep step) {
  return [&scenario, &cable, step] {
    scenario.Check(cable.form().Relay().PortLoss() == TPortLoss::None, QStringLiteral("the port was given up"));
    scenario.Check(cable.client && cable.client->state() == QAbstractSocket::ConnectedState,
                   QStringLiteral("the client was dropped"));
    return step();
  };
}

} // namespace

void TestConnection::wholeCableConnectionRelaysBothWaysAndTearsDown() {
  TConnectionFixture cable;
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  TMainTandrelForm &form = cable.form();
  qint64 setupPid = -1;
  TScenario scenario;
  scenario
      .Then("relay started",
            [&] {
              return cable.Relaying() && form.URLLabel1->text() == QStringLiteral("Отключить") &&
                     form.Label7->text() == QStringLiteral("Подключен") && form.URLLabel1->isEnabled();
            })
      .Then("setup program started from the private folder",
            [&] {
              setupPid = form.SetupProcessId();
              return QFile::exists(cable.CopyPath()) && ProcessAlive(setupPid);
            })
      .Then("client connected",
            [&] { return cable.ClientConnected(); })
      .Then("echo came back", cable.Echoes(scenario, "hello device\r\n"))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
  QVERIFY(!ProcessAlive(setupPid));

  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(!QFile::exists(cable.CopyPath()));
  QVERIFY(form.PortsListComboBox->isEnabled() && form.ConnectTypeComboBox->isEnabled());
  QCOMPARE(form.PortsListComboBox->currentText(), cable.device.linkPath());
  QVERIFY(cable.device.receivedBytes().startsWith("+VER_INFO=?\r\nhello device\r\n"));
  QVERIFY(cable.LogHas(QStringLiteral(" TCP->COM hello device")));
  QVERIFY(cable.LogHas(QStringLiteral(" COM->TCP hello device")));
  QVERIFY(cable.LogHas(QStringLiteral(" APP->COM +VER_INFO=?")));
  QVERIFY(cable.LogHas(QStringLiteral("  COM порт успешно открыт")));
  QVERIFY(cable.LogHas(QStringLiteral(
      "  Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе (разрыв подключения)")));
}

void TestConnection::bytesBeforeTheClientConnectsAreLoggedAndDropped() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("early bytes sent", [&] { return cable.device.command(QStringLiteral("send EARLY")).startsWith("OK"); })
      .Then("early bytes logged", [&] { return cable.LogHas(QStringLiteral(" COM->TCP EARLY")); })
      .Then("client connected",
            [&] { return cable.ClientConnected(); })
      .Then("echo only", cable.Echoes(scenario, "late"))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
}

void TestConnection::unpluggedPortIsReopenedAndTheServerRestarted() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected",
            [&] { return cable.ClientConnected(); })
      .Then("unplugged", [&] { return cable.device.command(QStringLiteral("unplug 1500")).startsWith("OK"); })
      .Then("port lost shown in red, server stopped",
            [&] {
              return form.Label7->text() == QStringLiteral("Прибор недоступен") && cable.StatusColour() == QColor(Qt::red) &&
                     !form.ServerSocket->Active() &&
                     cable.client->state() == QAbstractSocket::UnconnectedState;
            })
      .Then("reopen attempts while absent",
            [&] { return cable.LogCount(QStringLiteral("  Попытка переокрытия COM порта")) >= 2; })
      .Then("reopened", [&] { return cable.LogHas(QStringLiteral("  Порт успешно переоткрыт")); })
      .Then("connected again",
            [&] { return form.Label7->text() == QStringLiteral("Подключен") && form.ServerSocket->Active(); })
      .Then("a new client connects", [&] { return cable.ClientConnected(); })
      .Then("and is relayed", cable.Echoes(scenario, "again"))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form, 60000);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());

  QVERIFY(!form.Relay().PortOpen());
}

void TestConnection::silentDeviceTakesFailurePathA() {
  TScaledClock fast(200);
  TConnectionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")}, fast);
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().text, QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(form.PortsListComboBox->isEnabled());
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO")));
  QCOMPARE(cable.device.receivedBytes(), QByteArray("+VER_INFO=?\r\n"));
}

void TestConnection::unlistedDeviceTakesFailurePathB() {
  TConnectionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "OTHER=prog\r\n");
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().text, QStringLiteral("Программа настройки для данного прибора не обнаружена."));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет программы настройки")));
  // The launcher's reason comes first.
  const QStringList log = cable.fixture.LogTexts();
  const qsizetype reason = log.indexOf(QStringLiteral("  В setup.ini нет программы настройки для прибора \"DEMO\""));
  QVERIFY2(reason >= 0, qPrintable(log.join(u'\n')));
  QCOMPARE(log.value(reason + 1), QStringLiteral("  Не найдена программа настройки"));
  QVERIFY(!ConnectClient(cable.port, 300));
}

void TestConnection::windowsProgramWithoutWineEndsLikeFailurePathBWithItsReason() {
  TConnectionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "DEMO=winprog\r\n");
  QFile program(cable.fixture.SetupFolder() + QStringLiteral("winprog"));
  QVERIFY(program.open(QIODevice::WriteOnly) && program.write(MinimalPeImage()) > 0);
  program.close();
  qputenv("TANDREL_WINE", "/nonexistent/wine");
  const auto restore = qScopeGuard([] { qunsetenv("TANDREL_WINE"); });
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  const QString reason =
      QStringLiteral("Программа настройки — программа для Windows; для её запуска установите wine (пакет wine).");
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().text, reason);
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(form.PortsListComboBox->isEnabled());
  QVERIFY(!QFile::exists(cable.fixture.Path(QStringLiteral("run/tandrel/winprog.exe"))));
  const QStringList log = cable.fixture.LogTexts();
  QCOMPARE(log.count(QStringLiteral("  ") + reason), 1);
  QVERIFY(!log.contains(QStringLiteral("  Не найдена программа настройки")));
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, программа настройки не запущена")));
  QVERIFY(!ConnectClient(cable.port, 300));
}

void TestConnection::setupProgramThatDiesIsLoggedAndTheRelayGoesOn() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  const QString died = QStringLiteral("  Программа настройки завершилась: сигнал 9");
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("setup program killed", [&] { return ::kill(pid_t(form.SetupProcessId()), SIGKILL) == 0; })
      .Then("its end logged", [&] { return cable.LogHas(died); })
      .Then("still relayed", cable.Echoes(scenario, "after the end"))
      .Then("client gone",
            [&] {
              cable.client.reset();
              return !form.Relay().SetupConnected();
            })
      .Then("a new client connects", [&] { return cable.ClientConnected(); })
      .Then("and is relayed", cable.Echoes(scenario, "new client"))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
  QCOMPARE(cable.LogCount(died), 1);
  QVERIFY(!QFile::exists(cable.CopyPath()));
}

void TestConnection::portInUseShowsBusyAndTheNextClickCancels() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  TCOMHandle holder = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(cable.device.linkPath().toStdString(), 19200, holder));
  form.URLLabel1Click();
  QCOMPARE(form.Label7->text(), QStringLiteral("COM-порт занят"));
  QCOMPARE(cable.StatusColour(), QColor(Qt::red));
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Отмена подключения"));
  QVERIFY(!form.PortsListComboBox->isEnabled());
  QVERIFY(cable.LogHas(QStringLiteral("  Ошибка открытия COM порта")));
  form.URLLabel1Click();
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(form.PortsListComboBox->isEnabled() && form.SpeedButton1->isEnabled() && form.ConnectTypeComboBox->isEnabled());
  CloseCOM(holder);
}

// "Подключить" clicked right after "Отключить", while the ending connection's
// loop is still on the stack: the new connection starts once that loop has
// returned, never inside it.
void TestConnection::clickWhileTheLoopEndsActsOnceItHasReturned() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  TScenario first;
  first.Then("relay started", [&] { return cable.Relaying(); })
      .Then("disconnect and connect again", [&] {
        form.URLLabel1Click();
        form.URLLabel1Click();
        return true;
      });
  first.Start(form);
  // A connection started inside the first would hold it on the stack: end it.
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    first.Check(false, QStringLiteral("a connection ran inside the ending one"));
    form.Relay().Stop(TRelayEnd::UserDisconnect);
  });
  watchdog.start(20000);
  form.URLLabel1Click();
  watchdog.stop();
  QVERIFY2(first.failure.isEmpty(), qPrintable(first.failure));
  QCOMPARE(form.ConnectState(), csIdle);
  QVERIFY(!form.Relay().PortOpen());
  QCOMPARE(cable.device.receivedBytes().count("+VER_INFO=?\r\n"), 1);

  TScenario second;
  second.Then("relay started again", [&] { return cable.Relaying(); }).Then("disconnect", cable.Clicks());
  second.Start(form);
  QVERIFY(WaitUntil([&] { return second.Finished() || !second.failure.isEmpty(); }, 30000));
  QVERIFY2(second.failure.isEmpty(), qPrintable(second.failure));
  QCOMPARE(form.ConnectState(), csIdle);
  QVERIFY(!form.Relay().PortOpen());
  QCOMPARE(cable.device.receivedBytes().count("+VER_INFO=?\r\n"), 2);
  QCOMPARE(cable.LogCount(QStringLiteral("  COM порт успешно открыт")), 2);
}

// "Отключить", then "Подключить" while the loop ends, then the window is
// closed before the loop has returned: the saved click must not start a
// connection in the closed window, which nothing could end.
void TestConnection::closeDropsAClickSavedWhileTheLoopEnds() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  form.show();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("disconnect, connect, close", [&] {
        form.URLLabel1Click();
        form.URLLabel1Click();
        form.close();
        return true;
      });
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(!WaitUntil([&] { return form.ConnectState() != csIdle || form.Relay().PortOpen(); }, 1500));
  QCOMPARE(cable.device.receivedBytes().count("+VER_INFO=?\r\n"), 1);
  QVERIFY(!form.SetupIsStarted());
}

// The port list cannot be read again when the user disconnects: the error is
// shown and the connection still ends whole.
void TestConnection::errorInTheDisconnectIsReportedAndTheConnectionEnds() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  qint64 setupPid = -1;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying() && (setupPid = form.SetupProcessId()) > 0; })
      .Then("device table made unreadable",
            [&] {
              const QString table = cable.fixture.Path(QStringLiteral("sys/class/tty"));
              QFile file(table);
              return QDir(table).removeRecursively() && file.open(QIODevice::WriteOnly);
            })
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QCOMPARE(form.ConnectState(), csIdle);
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(form.PortsListComboBox->isEnabled() && form.ConnectTypeComboBox->isEnabled());
  QVERIFY(!form.Relay().Running());
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(WaitUntil([&] { return !ProcessAlive(setupPid); }));
}

void TestConnection::takenServerPortEndsTheAttemptInOrder() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, cable.port));
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QVERIFY(cable.fixture.prompts.prompts.first().text.startsWith(QStringLiteral("Windows socket error: ")));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(form.PortsListComboBox->isEnabled());
}

void TestConnection::closingTheWindowEndsTheConnectionAndSavesSettings() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  form.show();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying() && QFile::exists(cable.CopyPath()); })
      .Then("client connected",
            [&] { return cable.ClientConnected(); })
      .Then("close", [&] { return form.close(); });
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(!QFile::exists(cable.CopyPath()));
  QVERIFY(WaitUntil([&] { return cable.client->state() == QAbstractSocket::UnconnectedState; }));
  const TRegistryKey key(cable.fixture.StorePath());
  QCOMPARE(key.ReadString(QStringLiteral("COM")), cable.device.linkPath());
  QCOMPARE(key.ReadInteger(QStringLiteral("CHANNEL")), 1);
}

// A device that cannot send while the host does not read (a USB device)
// and echoes what it gets: the setup program's megabyte comes back whole,
// with the line busy all the time but never taken for broken.
void TestConnection::blockingEchoDeviceGivesBackAMebibyteSentAtOnce() {
  TConnectionFixture cable(TSimProcess::TKind::Device,
                           {QStringLiteral("--flow"), QStringLiteral("blocking"), QStringLiteral("--tty"),
                            QStringLiteral("default")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.fixture.log->hide(); // a megabyte of log lines would only slow the test
  TMainTandrelForm &form = cable.form();
  const QByteArray upload = RandomBytes(1 << 20, 1210);
  QByteArray echoed;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("megabyte sent at once", [&] { return cable.client->write(upload) == upload.size(); })
      .Then("megabyte echoed", StaysConnected(scenario, cable, [&] {
              echoed += cable.client->readAll();
              return echoed.size() >= upload.size();
            }))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form, 120000);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QCOMPARE(echoed.size(), upload.size());
  QVERIFY(echoed == upload);
  QCOMPARE(form.Relay().EndReason(), TRelayEnd::UserDisconnect);
}

// At 256000 baud the device streams at its line rate while the setup program
// uploads a whole block at once, which the device takes at the same rate.
void TestConnection::fullDuplexAtLineRateLosesNothing() {
  TConnectionFixture cable(TSimProcess::TKind::Device,
                           {QStringLiteral("--mode"), QStringLiteral("sink"), QStringLiteral("--paced"), QStringLiteral("on")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.fixture.log->hide();
  cable.fixture.comSettings->SpeedComboBox->setCurrentText(QStringLiteral("256000"));
  TMainTandrelForm &form = cable.form();
  const qsizetype size = 25600 * 3; // three seconds of the line each way
  const QByteArray pattern = StreamPattern(size);
  QByteArray streamed;
  QString sinkReport;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("device streams",
            [&] { return cable.device.command(QStringLiteral("stream 256000 %1").arg(size)) == QStringLiteral("OK"); })
      .Then("block uploaded at once", [&] { return cable.client->write(pattern) == size; })
      .Then("both flows complete", StaysConnected(scenario, cable, [&] {
              streamed += cable.client->readAll();
              sinkReport = cable.device.command(QStringLiteral("sinkcheck"));
              return streamed.size() >= size && sinkReport.startsWith(QStringLiteral("OK %1 ").arg(size));
            }))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form, 60000);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure + QLatin1Char(' ') + sinkReport));
  QVERIFY(streamed == pattern);
  QCOMPARE(sinkReport, QStringLiteral("OK %1 pattern").arg(size));
}

// A device that answers each request with a burst, written in two halves 1 ms
// apart: well within the line's gap (33 ms at 1200 baud), so the relay sends
// the reply as one chunk once the line has gone quiet (the hex view logs a
// chunk as one entry with its byte count). A reply whose two halves straddle
// the end of a pass goes in two pieces, as bytes still arriving at that
// moment do: that happens to a reply now and then, not to most of them, as
// it would if every read went out on its own.
void TestConnection::burstRepliesReachTheClientInOnePiece() {
  TConnectionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--mode"), QStringLiteral("protocol")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  TMainTandrelForm &form = cable.form();
  cable.fixture.log->N3->trigger(); // the hex view
  cable.fixture.comSettings->SpeedComboBox->setCurrentText(QStringLiteral("1200"));
  constexpr int kReplies = 20;
  const QByteArray reply = StreamPattern(200) + "\r\n";
  QByteArray received;
  int asked = 0;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("replies in two parts", [&] { return cable.device.command(QStringLiteral("split 100 1")) == "OK"; })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("every reply back", [&] {
        received += cable.client->readAll();
        if (received.size() == asked * reply.size() && asked < kReplies) {
          cable.client->write("READ 200\r\n");
          ++asked;
        }
        return received.size() >= kReplies * reply.size();
      })
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(received == reply.repeated(kReplies));
  int whole = 0;
  for (const QString &entry : cable.fixture.LogTexts())
    whole += entry.startsWith(QStringLiteral(" COM->TCP [202] "));
  QVERIFY2(whole >= kReplies * 3 / 5, qPrintable(QStringLiteral("%1 of %2 replies whole").arg(whole).arg(kReplies)));
}

void TestConnection::replyLeavesWithinThePassUnlessPacingIsFixed_data() {
  QTest::addColumn<bool>("fixedPacing");
  QTest::newRow("as bytes come") << false;
  QTest::newRow("fixed pacing") << true;
}

// On a clock 40 times slower than real time, a pass of the relay lasts 2 s.
// A reply the device writes in two parts a few real milliseconds apart is
// within the line's gap: it reaches the client within the pass the request
// came in, unless the fixed pacing makes both the request and the reply wait
// for the pass's step.
void TestConnection::replyLeavesWithinThePassUnlessPacingIsFixed() {
  QFETCH(bool, fixedPacing);
  TSlowedClock slow(40);
  TConnectionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--mode"), QStringLiteral("protocol")}, slow);
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  TMainTandrelForm &form = cable.form();
  form.Relay().SetFixedPacing(fixedPacing);
  QByteArray reply;
  uint32_t askedAt = 0;
  uint32_t answeredAt = 0;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("replies in two parts", [&] { return cable.device.command(QStringLiteral("split 3 5")) == "OK"; })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("asked", [&] {
        askedAt = slow.TickCount();
        return cable.client->write("PING\r\n") == 6;
      })
      .Then("answered", [&] {
        reply += cable.client->readAll();
        answeredAt = slow.TickCount();
        return reply.size() >= 6;
      })
      .Then("disconnect", cable.Clicks());
  scenario.Start(form, 60000);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QCOMPARE(reply, QByteArray("PONG\r\n"));
  constexpr uint32_t kPassMs = 50;
  if (fixedPacing)
    QVERIFY2(answeredAt - askedAt >= kPassMs, qPrintable(QString::number(answeredAt - askedAt)));
  else
    QVERIFY2(answeredAt - askedAt < kPassMs, qPrintable(QString::number(answeredAt - askedAt)));
}

QTEST_MAIN(TestConnection)
#include "test_connection.moc"
