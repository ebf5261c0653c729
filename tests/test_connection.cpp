// Whole cable connections in the window: the connect label, the main loop, the
// relay, recovery from an unplugged port, the failure paths and the teardown,
// against the simulated device and a loopback client as the setup program.
#include "BridgeTestSupport.h"
#include "MainFormFixture.h"
#include "SimProcess.h"
#include "app/RegStore.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QToolButton>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

// Steps run one after another from a timer while the connect click is still
// inside the main loop; the first failure or the time limit ends the connection.
class TScenario {
public:
  using TStep = std::function<bool()>; // true once the step is done

  TScenario &Then(const QString &what, TStep step) {
    FSteps.append({what, std::move(step)});
    return *this;
  }
  void Start(TMainTandrelForm &form, int timeoutMs = 30000) {
    FForm = &form;
    FDeadline = QDeadlineTimer(timeoutMs);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
    FTimer.start(10);
  }
  QString failure;
  bool Finished() const { return FNext >= FSteps.size(); }

private:
  void Tick() {
    if (Finished())
      return;
    if (FDeadline.hasExpired()) {
      failure = QStringLiteral("timed out at: ") + FSteps[FNext].first;
      FTimer.stop();
      FForm->FConnected = false;
      return;
    }
    if (FSteps[FNext].second())
      ++FNext;
    if (Finished())
      FTimer.stop();
  }
  QList<QPair<QString, TStep>> FSteps;
  qsizetype FNext = 0;
  QTimer FTimer;
  QDeadlineTimer FDeadline;
  TMainTandrelForm *FForm = nullptr;
};

bool ProcessAlive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

// A window set up for cable connections to a simulated device, with a setup
// program (a script that just waits) listed for the device key DEMO.
struct TCableFixture {
  explicit TCableFixture(const QStringList &deviceArgs = {}, TClock &clock = SystemClock(),
                         const QByteArray &setupIni = "[Devices]\r\nDEMO=prog\r\n")
      : device(TSimProcess::TKind::Device, deviceArgs), fixture(clock, {device.linkPath()}) {
    qputenv("XDG_RUNTIME_DIR", fixture.Path(QStringLiteral("run")).toLocal8Bit());
    QDir().mkpath(fixture.Path(QStringLiteral("run")));
    QFile::setPermissions(fixture.Path(QStringLiteral("run")), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                  QFileDevice::ExeOwner);
    WriteFile(fixture.SetupFolder() + QStringLiteral("setup.ini"), setupIni);
    WriteFile(fixture.SetupFolder() + QStringLiteral("prog"), "#!/bin/sh\nexec sleep 120\n");
    QFile::setPermissions(fixture.SetupFolder() + QStringLiteral("prog"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    port = FreeTcpPort();
    fixture.tcpSettings->PortEdit->setText(QString::number(port));
    form().ConnectTypeComboBox->setCurrentIndex(1);
    form().ConnectTypeComboBoxChange();
    fixture.log->show();
  }
  static void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  TMainTandrelForm &form() { return *fixture.form; }
  bool LogHas(const QString &text) const { return fixture.LogTexts().contains(text); }
  int LogCount(const QString &text) const { return int(fixture.LogTexts().count(text)); }
  bool Relaying() { return form().FConnected && form().URLLabel1->Tag() == csConnected; }
  QString CopyPath() const { return fixture.Path(QStringLiteral("run/tandrel/prog.exe")); }

  TSimProcess device;
  TMainFormFixture fixture;
  quint16 port = 0;
  std::unique_ptr<QTcpSocket> client;
};

QColor StatusColour(TMainTandrelForm &form) { return form.Label7->palette().color(QPalette::WindowText); }

} // namespace

class TestConnection : public QObject {
  Q_OBJECT

private slots:
  void wholeCableConnectionRelaysBothWaysAndTearsDown();
  void bytesBeforeTheClientConnectsAreLoggedAndDropped();
  void unpluggedPortIsReopenedAndTheServerRestarted();
  void silentDeviceTakesFailurePathA();
  void unlistedDeviceTakesFailurePathB();
  void portInUseShowsBusyAndTheNextClickCancels();
  void takenServerPortEndsTheAttemptInOrder();
  void closingTheWindowEndsTheConnectionAndSavesSettings();
};

void TestConnection::wholeCableConnectionRelaysBothWaysAndTearsDown() {
  TCableFixture cable;
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  TMainTandrelForm &form = cable.form();
  qint64 setupPid = -1;
  QByteArray echoed;
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
            [&] {
              if (!cable.client)
                cable.client = ConnectClient(cable.port, 200);
              return cable.client && form.FSetupConnected;
            })
      .Then("echo came back",
            [&] {
              if (cable.client->property("sent").isNull()) {
                cable.client->write("hello device\r\n");
                cable.client->setProperty("sent", true);
              }
              return cable.client->bytesAvailable() >= 14;
            })
      .Then("disconnect", [&] {
        echoed = cable.client->readAll();
        form.URLLabel1Click();
        return true;
      });
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
  QCOMPARE(echoed, QByteArray("hello device\r\n"));
  QVERIFY(!ProcessAlive(setupPid));

  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
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
  TCableFixture cable;
  TMainTandrelForm &form = cable.form();
  QByteArray echoed;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("early bytes sent", [&] { return cable.device.command(QStringLiteral("send EARLY")).startsWith("OK"); })
      .Then("early bytes logged", [&] { return cable.LogHas(QStringLiteral(" COM->TCP EARLY")); })
      .Then("client connected",
            [&] {
              if (!cable.client)
                cable.client = ConnectClient(cable.port, 200);
              return cable.client && form.FSetupConnected;
            })
      .Then("echo only", [&] {
        if (cable.client->property("sent").isNull()) {
          cable.client->write("late");
          cable.client->setProperty("sent", true);
        }
        if (cable.client->bytesAvailable() < 4)
          return false;
        echoed = cable.client->readAll();
        form.URLLabel1Click();
        return true;
      });
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
  QCOMPARE(echoed, QByteArray("late"));
}

void TestConnection::unpluggedPortIsReopenedAndTheServerRestarted() {
  TCableFixture cable;
  TMainTandrelForm &form = cable.form();
  QByteArray echoed;
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected",
            [&] {
              if (!cable.client)
                cable.client = ConnectClient(cable.port, 200);
              return cable.client && form.FSetupConnected;
            })
      .Then("unplugged", [&] { return cable.device.command(QStringLiteral("unplug 1500")).startsWith("OK"); })
      .Then("port lost shown in red, server stopped",
            [&] {
              return form.Label7->text() == QStringLiteral("Прибор недоступен") && StatusColour(form) == QColor(Qt::red) &&
                     !form.ServerSocket->Active() &&
                     cable.client->state() == QAbstractSocket::UnconnectedState;
            })
      .Then("reopen attempts while absent",
            [&] { return cable.LogCount(QStringLiteral("  Попытка переокрытия COM порта")) >= 2; })
      .Then("reopened", [&] { return cable.LogHas(QStringLiteral("  Порт успешно переоткрыт")); })
      .Then("connected again",
            [&] { return form.Label7->text() == QStringLiteral("Подключен") && form.ServerSocket->Active(); })
      .Then("a new client is relayed",
            [&] {
              if (!cable.client || cable.client->state() != QAbstractSocket::ConnectedState) {
                cable.client = ConnectClient(cable.port, 200);
                if (cable.client)
                  cable.client->write("again");
              }
              return cable.client && cable.client->bytesAvailable() >= 5;
            })
      .Then("disconnect", [&] {
        echoed = cable.client->readAll();
        form.URLLabel1Click();
        return true;
      });
  scenario.Start(form, 60000);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());
  QCOMPARE(echoed, QByteArray("again"));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
}

void TestConnection::silentDeviceTakesFailurePathA() {
  TScaledClock fast(200);
  TCableFixture cable({QStringLiteral("--silent"), QStringLiteral("on")}, fast);
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().text, QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(form.PortsListComboBox->isEnabled());
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO")));
  QCOMPARE(cable.device.receivedBytes(), QByteArray("+VER_INFO=?\r\n"));
}

void TestConnection::unlistedDeviceTakesFailurePathB() {
  TCableFixture cable({}, SystemClock(), "OTHER=prog\r\n");
  TMainTandrelForm &form = cable.form();
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QCOMPARE(cable.fixture.prompts.prompts.first().text, QStringLiteral("Программа настройки для данного прибора не обнаружена."));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет программы настройки")));
  QVERIFY(!ConnectClient(cable.port, 300));
}

void TestConnection::portInUseShowsBusyAndTheNextClickCancels() {
  TCableFixture cable;
  TMainTandrelForm &form = cable.form();
  TCOMHandle holder = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(cable.device.linkPath().toStdString(), 19200, holder));
  form.URLLabel1Click();
  QCOMPARE(form.Label7->text(), QStringLiteral("COM-порт занят"));
  QCOMPARE(StatusColour(form), QColor(Qt::red));
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Отмена подключения"));
  QVERIFY(!form.PortsListComboBox->isEnabled());
  QVERIFY(cable.LogHas(QStringLiteral("  Ошибка открытия COM порта")));
  form.URLLabel1Click();
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QVERIFY(form.PortsListComboBox->isEnabled() && form.SpeedButton1->isEnabled() && form.ConnectTypeComboBox->isEnabled());
  CloseCOM(holder);
}

void TestConnection::takenServerPortEndsTheAttemptInOrder() {
  TCableFixture cable;
  TMainTandrelForm &form = cable.form();
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, cable.port));
  cable.fixture.prompts.prompts.clear();
  form.URLLabel1Click();
  QCOMPARE(cable.fixture.prompts.prompts.size(), 1);
  QVERIFY(cable.fixture.prompts.prompts.first().text.startsWith(QStringLiteral("Windows socket error: ")));
  QCOMPARE(form.URLLabel1->Tag(), int(csIdle));
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(form.PortsListComboBox->isEnabled());
}

void TestConnection::closingTheWindowEndsTheConnectionAndSavesSettings() {
  TCableFixture cable;
  TMainTandrelForm &form = cable.form();
  form.show();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying() && QFile::exists(cable.CopyPath()); })
      .Then("client connected",
            [&] {
              if (!cable.client)
                cable.client = ConnectClient(cable.port, 200);
              return cable.client && form.FSetupConnected;
            })
      .Then("close", [&] {
        form.close();
        return true;
      });
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QCOMPARE(form.FCOMHandle, INVALID_HANDLE_VALUE);
  QVERIFY(!form.ServerSocket->Active());
  QVERIFY(!form.SetupIsStarted());
  QVERIFY(!QFile::exists(cable.CopyPath()));
  QVERIFY(WaitUntil([&] { return cable.client->state() == QAbstractSocket::UnconnectedState; }));
  const TRegistryKey key(cable.fixture.StorePath());
  QCOMPARE(key.ReadString(QStringLiteral("COM")), cable.device.linkPath());
  QCOMPARE(key.ReadInteger(QStringLiteral("CHANNEL")), 1);
}

QTEST_MAIN(TestConnection)
#include "test_connection.moc"
