// The connection controller for modem connections, and the choices that
// survive a restart, against the simulated GSM modem in fast virtual time.
#include "ConnectionFixture.h"
#include "MouseEvents.h"
#include "app/RegStore.h"
#include "serial/RingThread.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QFile>
#include <QTcpServer>
#include <QToolButton>
#include <QtTest>

namespace {

constexpr uint32_t kSpeedup = 50;

bool InputsEnabled(TMainTandrelForm &form) {
  return form.ConnectTypeComboBox->isEnabled() && form.PortsListComboBox->isEnabled() &&
         form.PhoneNumber->isEnabled() && form.SpeedButton1->isEnabled();
}

bool InputsDisabled(TMainTandrelForm &form) {
  return !form.ConnectTypeComboBox->isEnabled() && !form.PortsListComboBox->isEnabled() &&
         !form.PhoneNumber->isEnabled() && !form.SpeedButton1->isEnabled();
}

} // namespace

class TestController : public QObject {
  Q_OBJECT

private slots:
  void refusedPhoneNumberStartsNothing_data();
  void refusedPhoneNumberStartsNothing();
  void dialFailureShowsItsText_data();
  void dialFailureShowsItsText();
  void cancelDuringTheDialWaitsForTheDialer();
  void doubleClickDialsOnce();
  void storeErrorIsReportedAndNoDialIsShown();
  void modemConnectionHangupReconnectAndDisconnect();
  void modemPortLossEndsTheConnectionAndKeepsTheSetupProgram();
  void takenServerPortHangsUpTheCall();
  void restartRestoresPortTypeAndPhoneHistory();
  void unknownConnectionTypeOnlyTogglesTheCaption();
};

void TestController::refusedPhoneNumberStartsNothing_data() {
  QTest::addColumn<QString>("number");
  QTest::addColumn<QString>("text");
  const QString undialable = QStringLiteral("Номер телефона содержит недопустимые символы. "
                                            "Допустимы цифры, пробелы и символы + * # , W P.");
  QTest::newRow("blanks only") << " \t " << "Не указан номер телефона.";
  QTest::newRow("a further command after a CR") << "8900\rATZ" << undialable;
  QTest::newRow("back to command mode") << "8900;" << undialable;
  QTest::newRow("brackets") << "8 (900) 123" << undialable;
}

void TestController::refusedPhoneNumberStartsNothing() {
  QFETCH(QString, number);
  QFETCH(QString, text);
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TMainTandrelForm &form = modem.form();
  modem.fixture.prompts.prompts.clear();
  form.PhoneNumber->setEditText(number);
  form.URLLabel1Click();
  QCOMPARE(modem.fixture.prompts.prompts.size(), 1);
  QCOMPARE(modem.fixture.prompts.prompts.first().text, text);
  QCOMPARE(form.ConnectState(), csIdle);
  QVERIFY(!form.FRing);
  QVERIFY(InputsEnabled(form));
  QCOMPARE(form.PhoneNumber->count(), 0); // not stored
}

void TestController::dialFailureShowsItsText_data() {
  QTest::addColumn<QString>("outcome");
  QTest::addColumn<QString>("text");
  QTest::newRow("busy") << "BUSY" << "Номер занят";
  QTest::newRow("no carrier") << "NO CARRIER" << "Не могу дозвониться";
}

void TestController::dialFailureShowsItsText() {
  QFETCH(QString, outcome);
  QFETCH(QString, text);
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--dial"), outcome}, clock);
  TMainTandrelForm &form = modem.form();
  form.URLLabel1Click();
  QCOMPARE(form.ConnectState(), csConnecting);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Отмена подключения"));
  QVERIFY(InputsDisabled(form));
  QVERIFY(form.Relay().ModemConnect());
  QVERIFY(WaitUntil([&] { return form.ConnectState() == csIdle; }, 30000));
  QCOMPARE(form.Label7->text(), text);
  QCOMPARE(modem.StatusColour(), QColor(Qt::red));
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QVERIFY(InputsEnabled(form));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.FRing);
  // The number was stored before dialling and is offered next time.
  QCOMPARE(form.PhoneNumber->itemText(0), QStringLiteral("+7 900 123"));
  // The port is free again.
  TCOMHandle probe = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(modem.device.linkPath().toStdString(), 19200, probe));
  CloseCOM(probe);
}

void TestController::cancelDuringTheDialWaitsForTheDialer() {
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--dial"), QStringLiteral("SILENT")}, clock);
  TMainTandrelForm &form = modem.form();
  form.URLLabel1Click();
  QVERIFY(WaitUntil([&] { return form.Label7->text() == QStringLiteral("Набор номера"); }, 30000));
  form.URLLabel1Click();
  QCOMPARE(form.ConnectState(), csIdle);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(!form.FRing);
  QVERIFY(InputsEnabled(form));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(modem.LogHas(QStringLiteral(
      "  Установили \"Нет подключения\", нажатие на кнопку подключения в момент подключения к прибору")));
  TCOMHandle probe = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(modem.device.linkPath().toStdString(), 19200, probe));
  CloseCOM(probe);
}

// The window system's events of a double click, as the user makes them.
void TestController::doubleClickDialsOnce() {
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--dial"), QStringLiteral("SILENT")}, clock);
  TMainTandrelForm &form = modem.form();
  const QPoint inside(5, 5);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonPress, inside, 50000);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonRelease, inside, 50080);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonDblClick, inside, 50200);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonRelease, inside, 50280);
  QCOMPARE(form.ConnectState(), csConnecting);
  QVERIFY(form.FRing);
  QVERIFY(WaitUntil([&] { return form.Label7->text() == QStringLiteral("Набор номера"); }, 30000));
  form.URLLabel1Click();
  QCOMPARE(form.ConnectState(), csIdle);
}

// A settings file spoilt while the program runs: storing the number fails
// before the dial starts, and the window must not offer to cancel a dial.
void TestController::storeErrorIsReportedAndNoDialIsShown() {
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TMainTandrelForm &form = modem.form();
  QFile store(modem.fixture.StorePath());
  QVERIFY(store.open(QIODevice::WriteOnly));
  store.write("garbage\r\n");
  store.close();
  modem.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(modem.fixture.prompts.prompts.size(), 1);
  QVERIFY2(modem.fixture.prompts.prompts.first().text.startsWith(QStringLiteral("Файл настроек")),
           qPrintable(modem.fixture.prompts.prompts.first().text));
  QCOMPARE(modem.fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QCOMPARE(form.ConnectState(), csIdle);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QVERIFY(form.URLLabel1->isEnabled());
  QVERIFY(!form.FRing);
  QVERIFY(InputsEnabled(form));
  QCOMPARE(modem.device.receivedBytes(), QByteArray());
}

// A modem connection's relay runs inside the dialer's termination
// notification, that is inside the event loop, so the test drives it with a
// scenario of timer steps and checks what the steps recorded.
void TestController::modemConnectionHangupReconnectAndDisconnect() {
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TMainTandrelForm &form = modem.form();
  qint64 setupPid = -1;
  TScenario scenario;
  scenario.Then("relay started", [&] { return modem.Relaying(); })
      .Then("client connected", [&] { return modem.ClientConnected(); })
      .Then("setup program running",
            [&] {
              setupPid = form.SetupProcessId();
              return ProcessAlive(setupPid);
            })
      .Then("first echo", modem.Echoes(scenario, "ping"))
      .Then("far end hangs up", [&] { return modem.device.command(QStringLiteral("hangup")).startsWith("OK"); })
      .Then("reconnect offered",
            [&] { return form.ConnectState() == csModemLost && !form.Relay().Running() && !form.ServerSocket->Active(); })
      .Then("reconnect", [&] {
        scenario.Check(form.URLLabel1->text() == QStringLiteral("Переподключить"), "caption Переподключить");
        scenario.Check(form.Label7->text() == QStringLiteral("Нет подключения"), "status after hang-up");
        scenario.Check(InputsDisabled(form), "inputs stay disabled in state 3");
        scenario.Check(ProcessAlive(setupPid), "setup program kept after hang-up");
        form.URLLabel1Click();
        scenario.Check(form.ConnectState() == csConnecting, "reconnect dials");
        return true;
      })
      .Then("relay renewed", [&] { return modem.Relaying(); })
      .Then("client connected again", [&] { return modem.ClientConnected(); })
      .Then("second echo", modem.Echoes(scenario, "again"))
      .Then("user disconnects", [&] {
        scenario.Check(form.SetupProcessId() == setupPid, "the same setup program serves the renewed connection");
        form.URLLabel1Click();
        return true;
      });
  form.URLLabel1Click();
  scenario.Start(form, 90000);
  QVERIFY(WaitUntil([&] { return scenario.Finished() || !scenario.failure.isEmpty(); }, 100000));
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(WaitUntil([&] { return !ProcessAlive(setupPid); }));
  QCOMPARE(form.ConnectState(), csIdle);
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.Relay().ModemConnect());
  QVERIFY(InputsEnabled(form));
  QVERIFY(!QFile::exists(modem.CopyPath()));
  const QByteArray received = modem.device.receivedBytes();
  QCOMPARE(received.count("ATD+7900123\r"), 2);
  QCOMPARE(received.count("+VER_INFO=?\r\n"), 2);
  QVERIFY(received.endsWith("+++ATH\r"));
  const TRegistryKey key(modem.fixture.StorePath());
  QCOMPARE(key.ReadString(QStringLiteral("phone1")), QStringLiteral("+7 900 123"));
  QVERIFY(!key.ValueExists(QStringLiteral("phone2")));
}

void TestController::modemPortLossEndsTheConnectionAndKeepsTheSetupProgram() {
  TScaledClock clock(kSpeedup);
  TConnectionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  TMainTandrelForm &form = modem.form();
  qint64 setupPid = -1;
  TScenario scenario;
  scenario.Then("relay started", [&] { return modem.Relaying() && (setupPid = form.SetupProcessId()) > 0; })
      .Then("unplugged", [&] { return modem.device.command(QStringLiteral("unplug 60000")).startsWith("OK"); })
      .Then("connection ended", [&] { return form.ConnectState() == csIdle && !form.Relay().Running(); });
  form.URLLabel1Click();
  scenario.Start(form, 60000);
  QVERIFY(WaitUntil([&] { return scenario.Finished() || !scenario.failure.isEmpty(); }, 70000));
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(WaitUntil([&] { return !form.ServerSocket->Active(); }));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(InputsEnabled(form));
  QVERIFY(modem.LogHas(QStringLiteral("  Завершение работы по потере порта.")));
  QVERIFY(ProcessAlive(setupPid));
  QVERIFY(!form.Relay().PortOpen());
}

void TestController::takenServerPortHangsUpTheCall() {
  TScaledClock clock(kSpeedup);
  // The escape's pauses shrink with the clock: the modem waits only 1 ms of silence.
  TConnectionFixture modem(TSimProcess::TKind::Modem, {QStringLiteral("--guard"), QStringLiteral("1")}, clock);
  TMainTandrelForm &form = modem.form();
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, modem.port));
  modem.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QVERIFY(WaitUntil([&] { return !modem.fixture.prompts.prompts.isEmpty(); }, 30000));
  QCOMPARE(modem.fixture.prompts.prompts.size(), 1);
  QVERIFY(modem.fixture.prompts.prompts.first().text.startsWith(QStringLiteral("Windows socket error: ")));
  QCOMPARE(form.ConnectState(), csIdle);
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(InputsEnabled(form));
  QVERIFY(!form.Relay().PortOpen());
  QVERIFY(!form.SetupIsStarted());
  const QByteArray received = modem.device.receivedBytes();
  QVERIFY2(received.endsWith("+VER_INFO=?\r\n+++ATH\r"), received.constData());
  QCOMPARE(modem.device.command(QStringLiteral("state")), QStringLiteral("OK command"));
}

void TestController::restartRestoresPortTypeAndPhoneHistory() {
  QTemporaryDir ports;
  const QString first = ports.filePath(QStringLiteral("first")), second = ports.filePath(QStringLiteral("second"));
  for (const QString &path : {first, second}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  TMainFormFixture before(SystemClock(), {first, second});
  before.form->PortsListComboBox->setCurrentIndex(1);
  before.form->ConnectTypeComboBox->setCurrentIndex(1);
  before.form->StorePhoneNumber(QStringLiteral("111"));
  before.form->StorePhoneNumber(QStringLiteral("222"));
  before.form->close();

  // A second window on the same settings file, with the port named in other case.
  TRegistryKey(before.StorePath()).WriteString(QStringLiteral("COM"), second.toUpper());
  TMainFormEnvironment environment{&SystemClock(), TPortSystem{}, before.StorePath(), before.SetupFolder()};
  environment.portSystem.sysfsRoot = before.Path(QStringLiteral("sys")).toStdString();
  environment.portSystem.extraPorts = (first + QLatin1Char(':') + second).toStdString();
  TMainTandrelForm after(environment);
  after.show();
  QCOMPARE(after.PortsListComboBox->currentText(), second);
  QCOMPARE(after.ConnectTypeComboBox->currentIndex(), 1);
  QVERIFY(!after.PhoneNumber->isVisible());
  QCOMPARE(after.PhoneNumber->count(), 2);
  QCOMPARE(after.PhoneNumber->itemText(0), QStringLiteral("222"));
  QCOMPARE(after.PhoneNumber->itemText(1), QStringLiteral("111"));
}

void TestController::unknownConnectionTypeOnlyTogglesTheCaption() {
  QTemporaryDir ports;
  const QString port = ports.filePath(QStringLiteral("port"));
  QFile file(port);
  QVERIFY(file.open(QIODevice::WriteOnly));
  TMainFormFixture fixture(SystemClock(), {port});
  // No stored type leads here any more (one outside the list loads as the
  // default): only a list without a selection does.
  fixture.form->ConnectTypeComboBox->setCurrentIndex(-1);
  fixture.form->URLLabel1Click();
  QCOMPARE(fixture.form->URLLabel1->text(), QStringLiteral("Отмена подключения"));
  fixture.form->URLLabel1Click();
  QCOMPARE(fixture.form->URLLabel1->text(), QStringLiteral("Подключить"));
}

QTEST_MAIN(TestController)
#include "test_controller.moc"
