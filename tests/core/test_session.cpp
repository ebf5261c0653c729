// Whole cable connections through the session, without any window: the
// connect label's states, the identification, the relay, recovery from an
// unplugged port, the failure paths and the teardown, against the simulated
// device and a loopback client as the setup program.
#include "BridgeTestSupport.h"
#include "SessionFixture.h"
#include "SlowedClock.h"
#include "core/RegStore.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

namespace {

// The simulated device's stream pattern: byte i is i mod 251.
QByteArray StreamPattern(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (qsizetype i = 0; i < size; ++i)
    bytes[i] = char(i % 251);
  return bytes;
}

bool ProcessAlive(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

bool InputsAll(const TInputs &inputs, bool enabled) {
  return inputs == TInputs{enabled, enabled, enabled, enabled};
}

// The bytes that the entries with `prefix` show, one piece per run of entries
// in the same view; the text view shows its bytes as Latin-1 text.
QList<QPair<QString, QByteArray>> LoggedPieces(const QStringList &entries, const QString &prefix) {
  static const QRegularExpression hex(QStringLiteral("^\\[\\d+\\]((?: [0-9A-F]{2})*)$"));
  QList<QPair<QString, QByteArray>> pieces;
  const QString head = QLatin1Char(' ') + prefix + QLatin1Char(' ');
  for (const QString &entry : entries) {
    if (!entry.startsWith(head))
      continue;
    const QString body = entry.mid(head.size());
    const QRegularExpressionMatch match = hex.match(body);
    const QString view = match.hasMatch() ? QStringLiteral("hex") : QStringLiteral("text");
    const QByteArray bytes = match.hasMatch() ? QByteArray::fromHex(match.captured(1).toLatin1()) : body.toLatin1();
    if (pieces.isEmpty() || pieces.last().first != view)
      pieces.append({view, bytes});
    else
      pieces.last().second += bytes;
  }
  return pieces;
}

// Sends `bytes` from the client and waits for the same bytes to come back.
bool Echoes(QTcpSocket &client, const QByteArray &bytes, int timeoutMs = 10000) {
  client.write(bytes);
  return ReadExactly(client, bytes.size(), timeoutMs) == bytes;
}

} // namespace

class TestSession : public QObject {
  Q_OBJECT

private slots:
  void wholeCableConnectionRelaysBothWaysAndTearsDown();
  void bytesBeforeTheClientConnectsAreLoggedAndDropped();
  void switchingTheLogViewWhileRelayingLosesNothing();
  void unpluggedPortIsReopenedAndTheServerRestarted();
  void silentDeviceTakesFailurePathA();
  void cancelDuringTheIdentificationEndsTheAttemptAtOnce();
  void unlistedDeviceTakesFailurePathB();
  void windowsProgramWithoutWineEndsLikeFailurePathBWithItsReason();
  void setupProgramThatDiesIsLoggedAndTheRelayGoesOn();
  void portInUseShowsBusyAndTheNextClickCancels();
  void connectRightAfterDisconnectOpensOnceThePortIsLetGo();
  void takenServerPortEndsTheAttemptInOrder();
  void closeEndsTheConnectionAndStartsNothingAfter();
  void refusedChoicesStartNothing_data();
  void refusedChoicesStartNothing();
  void unknownConnectionTypeOnlyTogglesTheState();
  void blockingEchoDeviceGivesBackAMebibyteSentAtOnce();
  void fullDuplexAtLineRateLosesNothing();
  void burstRepliesReachTheClientInOnePiece();
  void replyLeavesWithinThePassUnlessPacingIsFixed_data();
  void replyLeavesWithinThePassUnlessPacingIsFixed();
};

void TestSession::wholeCableConnectionRelaysBothWaysAndTearsDown() {
  TSessionFixture cable;
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  TSession &session = cable.session;
  QSignalSpy states(&session, &TSession::StateChanged);
  QSignalSpy statuses(&session, &TSession::StatusChanged);
  QSignalSpy inputs(&session, &TSession::InputsChanged);
  // A quick device may answer within the click: what the click showed first
  // is in the spies.
  cable.Click();
  QCOMPARE(states.first().first().value<TConnectState>(), csConnecting);
  QCOMPARE(statuses.first().first().toString(), QStringLiteral("Идет подключение"));
  QCOMPARE(inputs.first().first().value<TInputs>(), (TInputs{false, false, true, false}));
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  QCOMPARE(session.StatusText(), QStringLiteral("Подключен"));
  QVERIFY(!session.StatusIsError());
  const qint64 setupPid = session.Launcher().SetupProcessId();
  QVERIFY(QFile::exists(cable.CopyPath()) && ProcessAlive(setupPid));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }));
  QVERIFY(Echoes(*cable.client, "hello device\r\n"));

  cable.Click();
  QCOMPARE(session.State(), csIdle);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QVERIFY(InputsAll(session.Inputs(), true));
  QCOMPARE(session.EndReason(), TEndReason::Disconnected);
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Relay().ServerActive());
  QVERIFY(!session.Launcher().SetupIsStarted());
  // The teardown stops the program and deletes its copy off the UI thread.
  QVERIFY(WaitUntil([&] { return !ProcessAlive(setupPid) && !QFile::exists(cable.CopyPath()); }));
  QCOMPARE(states.size(), 3); // 1, 2, 0
  QVERIFY(cable.device.receivedBytes().startsWith("+VER_INFO=?\r\nhello device\r\n"));
  QVERIFY(cable.LogHas(QStringLiteral(" TCP->COM hello device")));
  QVERIFY(cable.LogHas(QStringLiteral(" COM->TCP hello device")));
  QVERIFY(cable.LogHas(QStringLiteral(" APP->COM +VER_INFO=?")));
  QVERIFY(cable.LogHas(QStringLiteral("  COM порт успешно открыт")));
  QVERIFY(cable.LogHas(QStringLiteral(
      "  Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе (разрыв подключения)")));
}

// Dropped, and logged as not delivered rather than as relayed.
void TestSession::bytesBeforeTheClientConnectsAreLoggedAndDropped() {
  TSessionFixture cable;
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  QVERIFY(cable.device.command(QStringLiteral("send EARLY")).startsWith("OK"));
  QVERIFY(WaitUntil([&] {
    return cable.LogHas(QStringLiteral("  Пакет не доставлен, программа настройки не подключена: 5 байт"));
  }));
  QVERIFY(!cable.LogHas(QStringLiteral(" COM->TCP EARLY")));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }));
  QVERIFY(Echoes(*cable.client, "late"));
  QCOMPARE(cable.client->bytesAvailable(), 0);
  cable.Click();
}

void TestSession::switchingTheLogViewWhileRelayingLosesNothing() {
  TSessionFixture cable;
  cable.log.SetHexView(true);
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  const QByteArray binary = QByteArrayLiteral("\x00\x01\r\xff");
  const QByteArray frame = QByteArrayLiteral("\x7f\r\n\x00");
  QVERIFY(Echoes(*cable.client, binary));
  cable.log.SetHexView(false);
  QVERIFY(Echoes(*cable.client, "alpha"));
  cable.log.SetHexView(true);
  QVERIFY(Echoes(*cable.client, frame));
  cable.Click();

  const QStringList entries = cable.LogTexts();
  QVERIFY(entries.contains(" APP->COM [13] 2B 56 45 52 5F 49 4E 46 4F 3D 3F 0D 0A"));
  QVERIFY(std::any_of(entries.begin(), entries.end(),
                      [](const QString &entry) { return entry.startsWith(" COM->APP [") && entry.endsWith(" 0D 0A"); }));
  const QList<QPair<QString, QByteArray>> expected{{"hex", binary}, {"text", "alpha"}, {"hex", frame}};
  QCOMPARE(LoggedPieces(entries, QStringLiteral("TCP->COM")), expected);
  QCOMPARE(LoggedPieces(entries, QStringLiteral("COM->TCP")), expected);
}

void TestSession::unpluggedPortIsReopenedAndTheServerRestarted() {
  TSessionFixture cable;
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  QVERIFY(cable.device.command(QStringLiteral("unplug 1500")).startsWith("OK"));
  QVERIFY(WaitUntil([&] {
    return session.StatusText() == QStringLiteral("Прибор недоступен") && session.StatusIsError() &&
           !session.Relay().ServerActive() && cable.client->state() == QAbstractSocket::UnconnectedState;
  }));
  QCOMPARE(session.Phase(), TPhase::Recovering);
  QCOMPARE(session.State(), csConnected);
  QVERIFY(WaitUntil([&] { return cable.LogCount(QStringLiteral("  Попытка переокрытия COM порта")) >= 2; }));
  QVERIFY(WaitUntil([&] { return cable.LogHas(QStringLiteral("  Порт успешно переоткрыт")); }, 10000));
  QVERIFY(WaitUntil([&] { return session.StatusText() == QStringLiteral("Подключен") && session.Relay().ServerActive(); }));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }));
  QVERIFY(Echoes(*cable.client, "again"));
  cable.Click();
  QVERIFY(!session.Relay().PortOpen());
}

void TestSession::silentDeviceTakesFailurePathA() {
  TScaledClock fast(200);
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")}, fast);
  TSession &session = cable.session;
  cable.closeBoxes = false;
  cable.Click();
  QVERIFY(WaitUntil([&] { return !cable.prompts.isEmpty(); }));
  QCOMPARE(cable.prompts.first().text, QStringLiteral("Устройство не обнаружено, работа программы невозможна."));
  // Nothing ends before the box is closed.
  QCOMPARE(session.State(), csConnecting);
  QCOMPARE(session.Phase(), TPhase::Reporting);
  QVERIFY(session.Relay().PortOpen());
  session.BoxClosed();
  QCOMPARE(session.State(), csIdle);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.EndReason(), TEndReason::NoAnswer);
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Relay().ServerActive());
  QVERIFY(!session.Launcher().SetupIsStarted());
  QVERIFY(InputsAll(session.Inputs(), true));
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO")));
  QCOMPARE(cable.device.receivedBytes(), QByteArray("+VER_INFO=?\r\n"));
}

// "Отмена подключения" is what the label says during the identification, and
// what a click then does: the attempt ends at once, and no box follows.
void TestSession::cancelDuringTheIdentificationEndsTheAttemptAtOnce() {
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")});
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.device.receivedBytes() == "+VER_INFO=?\r\n"; }));
  QCOMPARE(session.Phase(), TPhase::Identifying);
  cable.Click();
  QCOMPARE(session.State(), csIdle);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QCOMPARE(session.EndReason(), TEndReason::Cancelled);
  QVERIFY(InputsAll(session.Inputs(), true));
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(cable.LogHas(QStringLiteral(
      "  Установили \"Нет подключения\", нажатие на кнопку подключения в момент подключения к прибору")));
  // Past the identification's 10 s: no box, nothing else happens.
  QTest::qWait(10500);
  QVERIFY(cable.prompts.isEmpty());
  QCOMPARE(session.State(), csIdle);
  QVERIFY(WaitUntil([&] {
    TCOMHandle probe = INVALID_HANDLE_VALUE;
    const bool free = OpenCOM(cable.device.linkPath().toStdString(), 19200, probe);
    CloseCOM(probe);
    return free;
  }));
}

void TestSession::unlistedDeviceTakesFailurePathB() {
  TSessionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "OTHER=prog\r\n");
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return session.State() == csIdle; }));
  QCOMPARE(cable.prompts.size(), 1);
  QCOMPARE(cable.prompts.first().text, QStringLiteral("Программа настройки для данного прибора не обнаружена."));
  QCOMPARE(session.EndReason(), TEndReason::NoSetupProgram);
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Relay().ServerActive());
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, нет программы настройки")));
  // The launcher's reason comes first.
  const QStringList log = cable.LogTexts();
  const qsizetype reason = log.indexOf(QStringLiteral("  В setup.ini нет программы настройки для прибора \"DEMO\""));
  QVERIFY2(reason >= 0, qPrintable(log.join(u'\n')));
  QCOMPARE(log.value(reason + 1), QStringLiteral("  Не найдена программа настройки"));
  QVERIFY(!ConnectClient(cable.port, 300));
}

void TestSession::windowsProgramWithoutWineEndsLikeFailurePathBWithItsReason() {
  TSessionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "DEMO=winprog\r\n");
  QVERIFY(cable.AddProgram(QStringLiteral("winprog"), MinimalPeImage()));
  qputenv("TANDREL_WINE", "/nonexistent/wine");
  const auto restore = qScopeGuard([] { qunsetenv("TANDREL_WINE"); });
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return session.State() == csIdle; }));
  const QString reason =
      QStringLiteral("Программа настройки — программа для Windows; для её запуска установите wine (пакет wine).");
  QCOMPARE(cable.prompts.size(), 1);
  QCOMPARE(cable.prompts.first().text, reason);
  QCOMPARE(session.EndReason(), TEndReason::SetupRefused);
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Relay().ServerActive());
  QVERIFY(!QFile::exists(cable.Path(QStringLiteral("run/tandrel/winprog.exe"))));
  const QStringList log = cable.LogTexts();
  QCOMPARE(log.count(QStringLiteral("  ") + reason), 1);
  QVERIFY(!log.contains(QStringLiteral("  Не найдена программа настройки")));
  QVERIFY(cable.LogHas(QStringLiteral("  Установили \"Нет подключения\", главный цикл, программа настройки не запущена")));
  QVERIFY(!ConnectClient(cable.port, 300));
}

void TestSession::setupProgramThatDiesIsLoggedAndTheRelayGoesOn() {
  TSessionFixture cable;
  TSession &session = cable.session;
  const QString died = QStringLiteral("  Программа настройки завершилась: сигнал 9");
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  QCOMPARE(::kill(pid_t(session.Launcher().SetupProcessId()), SIGKILL), 0);
  QVERIFY(WaitUntil([&] { return cable.LogHas(died); }));
  QVERIFY(Echoes(*cable.client, "after the end"));
  cable.client.reset();
  QVERIFY(WaitUntil([&] { return !session.Relay().SetupConnected(); }));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }));
  QVERIFY(Echoes(*cable.client, "new client"));
  cable.Click();
  QCOMPARE(cable.LogCount(died), 1);
  QVERIFY(WaitUntil([&] { return !QFile::exists(cable.CopyPath()); }));
}

void TestSession::portInUseShowsBusyAndTheNextClickCancels() {
  TSessionFixture cable;
  TSession &session = cable.session;
  TCOMHandle holder = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(cable.device.linkPath().toStdString(), 19200, holder));
  const auto release = qScopeGuard([&] { CloseCOM(holder); });
  cable.Click();
  QCOMPARE(session.StatusText(), QStringLiteral("COM-порт занят"));
  QVERIFY(session.StatusIsError());
  QCOMPARE(session.State(), csConnecting);
  QCOMPARE(session.Phase(), TPhase::Stalled);
  QVERIFY(!session.Inputs().port);
  QVERIFY(cable.LogHas(QStringLiteral("  Ошибка открытия COM порта")));
  // The system's reason follows.
  const QStringList log = cable.LogTexts();
  QVERIFY(log.value(log.indexOf(QStringLiteral("  Ошибка открытия COM порта")) + 1).contains(QStringLiteral("используется")));
  cable.Click();
  QCOMPARE(session.State(), csIdle);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QVERIFY(InputsAll(session.Inputs(), true));
}

// The click that connects again comes while the teardown of the connection
// before still closes its port: the port is opened once it is let go.
void TestSession::connectRightAfterDisconnectOpensOnceThePortIsLetGo() {
  TSessionFixture cable;
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  cable.Click();
  cable.Click();
  QCOMPARE(session.State(), csConnecting);
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  QCOMPARE(cable.device.receivedBytes().count("+VER_INFO=?\r\n"), 2);
  QCOMPARE(cable.LogCount(QStringLiteral("  COM порт успешно открыт")), 2);
  QVERIFY(!cable.LogHas(QStringLiteral("  Ошибка открытия COM порта")));
  cable.Click();
  QVERIFY(WaitUntil([&] { return !session.TearingDown(); }));
}

void TestSession::takenServerPortEndsTheAttemptInOrder() {
  TSessionFixture cable;
  TSession &session = cable.session;
  QTcpServer holder;
  QVERIFY(holder.listen(QHostAddress::LocalHost, cable.port));
  cable.Click();
  QVERIFY(WaitUntil([&] { return session.State() == csIdle; }));
  QCOMPARE(cable.prompts.size(), 1);
  QVERIFY2(cable.prompts.first().text.startsWith(QStringLiteral("Windows socket error: ")),
           qPrintable(cable.prompts.first().text));
  QVERIFY(cable.prompts.first().text.endsWith(QStringLiteral("on API 'bind'")));
  QCOMPARE(session.EndReason(), TEndReason::ServerFailed);
  QCOMPARE(session.StatusText(), QStringLiteral("Нет подключения"));
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Launcher().SetupIsStarted());
  QVERIFY(InputsAll(session.Inputs(), true));
}

// The window's close: the relay ends and tears down, the setup program goes,
// and a click or a box after it does nothing.
void TestSession::closeEndsTheConnectionAndStartsNothingAfter() {
  TSessionFixture cable;
  TSession &session = cable.session;
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  const qint64 setupPid = session.Launcher().SetupProcessId();
  session.FormClose();
  QCOMPARE(session.EndReason(), TEndReason::WindowClosed);
  QVERIFY(!session.Relay().Running());
  QVERIFY(!session.Relay().PortOpen());
  QVERIFY(!session.Relay().ServerActive());
  QVERIFY(!session.Launcher().SetupIsStarted());
  QVERIFY(WaitUntil([&] { return cable.client->state() == QAbstractSocket::UnconnectedState; }));
  QVERIFY(WaitUntil([&] { return !ProcessAlive(setupPid) && !QFile::exists(cable.CopyPath()); }));
  cable.Click();
  QVERIFY(!WaitUntil([&] { return session.Relay().PortOpen(); }, 1000));
  QCOMPARE(cable.device.receivedBytes().count("+VER_INFO=?\r\n"), 1);
}

void TestSession::refusedChoicesStartNothing_data() {
  QTest::addColumn<int>("type");
  QTest::addColumn<bool>("noPort");
  QTest::addColumn<QString>("phone");
  QTest::addColumn<QString>("text");
  const QString undialable = QStringLiteral("Номер телефона содержит недопустимые символы. "
                                            "Допустимы цифры, пробелы и символы + * # , W P.");
  QTest::newRow("no port, cable") << 1 << true << QString() << "Нет доступных COM портов.";
  QTest::newRow("no port, modem") << 0 << true << "123" << "Нет доступных COM портов.";
  QTest::newRow("blanks only") << 0 << false << " \t " << "Не указан номер телефона.";
  QTest::newRow("a further command after a CR") << 0 << false << "8900\rATZ" << undialable;
  QTest::newRow("back to command mode") << 0 << false << "8900;" << undialable;
  QTest::newRow("brackets") << 0 << false << "8 (900) 123" << undialable;
}

void TestSession::refusedChoicesStartNothing() {
  QFETCH(int, type);
  QFETCH(bool, noPort);
  QFETCH(QString, phone);
  QFETCH(QString, text);
  TSessionFixture fixture;
  TConnectChoice choice{type, noPort ? QString() : fixture.device.linkPath(), phone};
  fixture.session.URLLabel1Click(choice);
  QVERIFY(WaitUntil([&] { return !fixture.prompts.isEmpty(); }));
  QCOMPARE(fixture.prompts.size(), 1);
  QCOMPARE(fixture.prompts.first().text, text);
  QCOMPARE(fixture.prompts.first().caption, QStringLiteral("Ошибка"));
  QCOMPARE(fixture.session.State(), csIdle);
  QVERIFY(InputsAll(fixture.session.Inputs(), true));
  QVERIFY(!QFile::exists(fixture.StorePath())); // no number stored
  QCOMPARE(fixture.device.receivedBytes(), QByteArray());
}

void TestSession::unknownConnectionTypeOnlyTogglesTheState() {
  TSessionFixture fixture;
  const TConnectChoice none{-1, fixture.device.linkPath(), QString()};
  fixture.session.URLLabel1Click(none);
  QCOMPARE(fixture.session.State(), csConnecting);
  QCOMPARE(fixture.session.Phase(), TPhase::Stalled);
  fixture.session.URLLabel1Click(none);
  QCOMPARE(fixture.session.State(), csIdle);
  QCOMPARE(fixture.device.receivedBytes(), QByteArray());
}

// A device that cannot send while the host does not read (a USB device)
// and echoes what it gets: the setup program's megabyte comes back whole,
// with the line busy all the time but never taken for broken.
void TestSession::blockingEchoDeviceGivesBackAMebibyteSentAtOnce() {
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--flow"), QStringLiteral("blocking"),
                                                     QStringLiteral("--tty"), QStringLiteral("default")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.log.SetRecording(false); // a megabyte of log lines would only slow the test
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  QSignalSpy lost(&cable.session.Relay(), &TRelay::PortLost);
  const QByteArray upload = RandomBytes(1 << 20, 1210);
  QCOMPARE(cable.client->write(upload), upload.size());
  const QByteArray echoed = ReadExactly(*cable.client, upload.size(), 120000);
  QCOMPARE(echoed.size(), upload.size());
  QVERIFY(echoed == upload);
  QCOMPARE(lost.size(), 0);
  QCOMPARE(cable.client->state(), QAbstractSocket::ConnectedState);
  cable.Click();
}

// At 256000 baud the device streams at its line rate while the setup program
// uploads a whole block at once, which the device takes at the same rate.
void TestSession::fullDuplexAtLineRateLosesNothing() {
  TSessionFixture cable(TSimProcess::TKind::Device,
                        {QStringLiteral("--mode"), QStringLiteral("sink"), QStringLiteral("--paced"), QStringLiteral("on")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.log.SetRecording(false);
  cable.settings.SetBaudRate(256000);
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  QSignalSpy lost(&cable.session.Relay(), &TRelay::PortLost);
  const qsizetype size = 25600 * 3; // three seconds of the line each way
  const QByteArray pattern = StreamPattern(size);
  QCOMPARE(cable.device.command(QStringLiteral("stream 256000 %1").arg(size)), QStringLiteral("OK"));
  QCOMPARE(cable.client->write(pattern), size);
  QByteArray streamed;
  QString sinkReport;
  QVERIFY(WaitUntil(
      [&] {
        streamed += cable.client->readAll();
        sinkReport = cable.device.command(QStringLiteral("sinkcheck"));
        return streamed.size() >= size && sinkReport.startsWith(QStringLiteral("OK %1 ").arg(size));
      },
      60000));
  QVERIFY(streamed == pattern);
  QCOMPARE(sinkReport, QStringLiteral("OK %1 pattern").arg(size));
  QCOMPARE(lost.size(), 0);
  cable.Click();
}

// A device that answers each request with a burst, written in two halves 1 ms
// apart: well within the line's gap (33 ms at 1200 baud), so the relay sends
// the reply as one chunk once the line has gone quiet (the hex view logs a
// chunk as one entry with its byte count). A reply whose two halves straddle
// a pass goes in two pieces now and then, not most of them.
void TestSession::burstRepliesReachTheClientInOnePiece() {
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--mode"), QStringLiteral("protocol")});
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.log.SetHexView(true);
  cable.settings.SetBaudRate(1200);
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  QCOMPARE(cable.device.command(QStringLiteral("split 100 1")), QStringLiteral("OK"));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }));
  constexpr int kReplies = 20;
  const QByteArray reply = StreamPattern(200) + "\r\n";
  QByteArray received;
  for (int asked = 0; asked < kReplies; ++asked) {
    cable.client->write("READ 200\r\n");
    received += ReadExactly(*cable.client, reply.size());
  }
  QVERIFY(received == reply.repeated(kReplies));
  int whole = 0;
  for (const QString &entry : cable.LogTexts())
    whole += entry.startsWith(QStringLiteral(" COM->TCP [202] "));
  QVERIFY2(whole >= kReplies * 3 / 5, qPrintable(QStringLiteral("%1 of %2 replies whole").arg(whole).arg(kReplies)));
  cable.Click();
}

void TestSession::replyLeavesWithinThePassUnlessPacingIsFixed_data() {
  QTest::addColumn<bool>("fixedPacing");
  QTest::newRow("as bytes come") << false;
  QTest::newRow("fixed pacing") << true;
}

// On a clock 40 times slower than real time, a pass of the relay lasts 2 s.
// A reply the device writes in two parts a few real milliseconds apart is
// within the line's gap: it reaches the client within the pass the request
// came in, unless the fixed pacing makes both the request and the reply wait
// for the pass.
void TestSession::replyLeavesWithinThePassUnlessPacingIsFixed() {
  QFETCH(bool, fixedPacing);
  TSlowedClock slow(40);
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--mode"), QStringLiteral("protocol")}, slow);
  QVERIFY2(cable.device.isReady(), qPrintable(cable.device.errorString()));
  cable.session.SetFixedPacing(fixedPacing);
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }, 30000));
  QCOMPARE(cable.device.command(QStringLiteral("split 3 5")), QStringLiteral("OK"));
  QVERIFY(WaitUntil([&] { return cable.ClientConnected(); }, 10000));
  const uint32_t askedAt = slow.TickCount();
  QCOMPARE(cable.client->write("PING\r\n"), 6);
  QCOMPARE(ReadExactly(*cable.client, 6, 30000), QByteArray("PONG\r\n"));
  const uint32_t answeredAt = slow.TickCount();
  if (fixedPacing)
    QVERIFY2(answeredAt - askedAt >= TRelay::kPassMs, qPrintable(QString::number(answeredAt - askedAt)));
  else
    QVERIFY2(answeredAt - askedAt < TRelay::kPassMs, qPrintable(QString::number(answeredAt - askedAt)));
  cable.Click();
}

QTEST_GUILESS_MAIN(TestSession)
#include "test_session.moc"
