// The connection controller: the connect label's four states, the dialer's
// progress and end, and what the window is told to show.
#include "core/Session.h"

#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/PhoneHistory.h"
#include "core/RegStore.h"
#include "core/SetupFolders.h"
#include "serial/RingThread.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <utility>

namespace {

const QString kNoConnection = QStringLiteral("Нет подключения");

bool IsBlank(const QString &text) {
  for (const QChar c : text)
    if (c.unicode() > 32)
      return false;
  return true;
}

// Where the log's "Установили "Нет подключения", …" line says a connection ended.
QString Where(TEndReason reason) {
  switch (reason) {
  case TEndReason::Cancelled:
    return QStringLiteral("нажатие на кнопку подключения в момент подключения к прибору");
  case TEndReason::Disconnected:
    return QStringLiteral("нажатие на кнопку подключения при подключенном приборе (разрыв подключения)");
  case TEndReason::NoAnswer:
    return QStringLiteral("главный цикл, нет ответа на VER_INFO");
  case TEndReason::RequestNotWritten:
    return QStringLiteral("главный цикл, запрос VER_INFO не отправлен");
  case TEndReason::NoSetupProgram:
    return QStringLiteral("главный цикл, нет программы настройки");
  case TEndReason::SetupRefused:
    return QStringLiteral("главный цикл, программа настройки не запущена");
  case TEndReason::ServerFailed:
    return QStringLiteral("главный цикл, TCP сервер не запущен");
  case TEndReason::ModemHangup:
    return QStringLiteral("процедура COMRead");
  case TEndReason::ModemPortLost:
    return QStringLiteral("главный цикл, модемное соединение, порт потерян");
  case TEndReason::HandlerError:
    return QStringLiteral("ошибка прервала обработку события");
  case TEndReason::None:
  case TEndReason::DialFailed:
  case TEndReason::WindowClosed:
    break;
  }
  return QString();
}

} // namespace

TSessionEnvironment TSessionEnvironment::FromSystem() {
  const QStringList setupFolders =
      SetupDataFolders(QCoreApplication::applicationDirPath(), QProcessEnvironment::systemEnvironment());
  return TSessionEnvironment{&SystemClock(), TPortSystem::FromEnvironment(), TRegistryKey::DefaultStorePath(),
                             ResolveSetupFolder(setupFolders)};
}

TSession::TSession(const TSessionEnvironment &environment, TLogModel &log, TBridgeSettings &settings, QObject *parent)
    : QObject(parent), FClock(*environment.clock), FPortSystem(environment.portSystem),
      FStorePath(environment.storePath), FLog(log), FSettings(settings), FTeardown(FClock),
      FRelay(log, FTeardown, FClock, FPortSystem),
      FLauncher(environment.setupFolder, FTeardown, [this](const QString &line) { WriteLog(line); }), FReopen(FClock),
      FStatusText(kNoConnection) {
  connect(&FRelay, &TRelay::Identified, this, &TSession::Identified);
  connect(&FRelay, &TRelay::ModemHangup, this, &TSession::ModemHangup);
  connect(&FRelay, &TRelay::PortLost, this, &TSession::PortLost);
  connect(&FReopen, &TClockTimer::Timeout, this, &TSession::ReopenStep);
  connect(&FTeardown, &TTeardown::Done, this, &TSession::OpenIfFree);
}

// A dialer still running stops (at once, even in a pause) before the rest of
// the session goes; it closes the port it holds.
TSession::~TSession() {
  FClosed = true;
  qDeleteAll(findChildren<TRingThread *>(QString(), Qt::FindDirectChildrenOnly));
}

void TSession::URLLabel1Click(const TConnectChoice &choice) {
  if (FClosed || FPhase == TPhase::Reporting || RefusedChoice(choice))
    return;
  switch (FState) {
  case csIdle:
    Connect(choice);
    break;
  case csConnecting:
    CancelConnecting();
    break;
  case csConnected:
    Disconnect();
    break;
  case csModemLost:
    // The number in the box, unchecked: a reconnect is always a modem dial.
    SetState(csConnecting);
    FChoice = choice;
    FChoice.type = kModemType;
    StartDial();
    break;
  }
}

bool TSession::RefusedChoice(const TConnectChoice &choice) {
  if (choice.port.isEmpty()) {
    Box(ErrorPrompt(QStringLiteral("Нет доступных COM портов.")));
    return true;
  }
  if (FState != csIdle || choice.type != kModemType)
    return false;
  if (IsBlank(choice.phone)) {
    Box(ErrorPrompt(QStringLiteral("Не указан номер телефона.")));
    return true;
  }
  if (!DialString(choice.phone)) {
    Box(ErrorPrompt(QStringLiteral("Номер телефона содержит недопустимые символы. "
                                   "Допустимы цифры, пробелы и символы + * # , W P.")));
    return true;
  }
  return false;
}

void TSession::Connect(const TConnectChoice &choice) {
  SetState(csConnecting);
  FChoice = choice;
  FEndReason = TEndReason::None;
  if (choice.type == kModemType) {
    StartDial();
  } else if (choice.type == kCableType) {
    SetInputs({false, false, FInputs.phone, false});
    FModemConnect = false;
    OpenWhenPortFree([this] { OpenCable(); });
  } else {
    SetPhase(TPhase::Stalled);
  }
}

// A port that an earlier connection's teardown or a cancelled dialer still
// holds is opened once they have let it go.
void TSession::OpenWhenPortFree(std::function<void()> open) {
  FOpenWhenFree = std::move(open);
  SetPhase(TPhase::Opening);
  OpenIfFree();
}

void TSession::OpenIfFree() {
  if (!FOpenWhenFree || FTeardown.Busy() || FRingsRunning > 0)
    return;
  std::exchange(FOpenWhenFree, {})();
}

// InitCOMPort, then the main loop.
void TSession::OpenCable() {
  TSerialError error;
  if (!FRelay.OpenCOMFromSettings(FChoice.port, FSettings.BaudRate(), &error)) {
    WriteLog(QStringLiteral("Ошибка открытия COM порта"));
    WriteLog(QString::fromLocal8Bit(error.text));
    SetStatus(QStringLiteral("COM-порт занят"), true);
    SetPhase(TPhase::Stalled);
    return;
  }
  WriteLog(QStringLiteral("COM порт успешно открыт"));
  SetInputs({false, false, FInputs.phone, false});
  SetStatus(QStringLiteral("Идет подключение"));
  MainLoop();
}

void TSession::StartDial() {
  FRelay.CancelIdentification();
  try {
    StorePhoneNumber(FStorePath, FChoice.phone);
    emit PhoneHistoryChanged(LoadPhoneHistory(FStorePath));
  } catch (const std::exception &error) {
    Box(ErrorPrompt(QString::fromUtf8(error.what())));
    EndAttempt(TEndReason::HandlerError, false);
    return;
  }
  EnableInputs(false);
  FModemConnect = true;
  OpenWhenPortFree([this] {
    auto *ring = new TRingThread(TRingThreadCreateStruct{FChoice.port, kModemBaudRate, FChoice.phone}, FClock);
    ring->setParent(this);
    connect(ring, &TRingThread::LogLine, &FLog, &TLogModel::AppendDialerLine);
    connect(ring, &TRingThread::Progress, this, &TSession::WMRingProgress);
    connect(ring, &QThread::finished, this, [this, ring] { RingThreadTerminated(ring); });
    FRing = ring;
    ++FRingsRunning;
    SetPhase(TPhase::Dialling);
    ring->start();
  });
}

// The dialer told its end; a cancelled one (or one of a closed window) only
// gives its port back.
void TSession::RingThreadTerminated(TRingThread *ring) {
  --FRingsRunning;
  const uint32_t code = ring->ErrorCode();
  const TCOMHandle handle = ring->TakeCOM();
  const bool current = ring == FRing && FPhase == TPhase::Dialling && !FClosed;
  if (ring == FRing)
    FRing = nullptr;
  ring->deleteLater();
  if (current && code == RING_CONNECTED) {
    FRelay.TakeOverCOM(handle);
    MainLoop();
  } else {
    FTeardown.ClosePort(handle);
    if (current && code >= RING_CANNOT_OPEN && code <= RING_NO_ANSWER) {
      SetStatus(RingErrorMessages[code], true);
      SetState(csIdle);
      SetPhase(TPhase::Idle);
      FEndReason = TEndReason::DialFailed;
      EnableInputs(true);
    }
  }
  OpenIfFree();
}

// A stage posted just before a cancel may arrive after it: it must not
// relabel a window that is no longer dialling.
void TSession::WMRingProgress(int stage) {
  if (FState != csConnecting || FPhase != TPhase::Dialling)
    return;
  if (stage >= 1 && stage <= int(RingStageTexts.size()))
    SetStatus(RingStageTexts[stage - 1]);
}

void TSession::CancelConnecting() {
  ShowNoConnection(csIdle, TEndReason::Cancelled);
  FOpenWhenFree = {};
  // The dialer stops at its next check, even in a pause; its port is closed
  // once it has.
  if (FPhase == TPhase::Dialling && FRing) {
    FRing->SetErrorCode(RING_CANCELLED);
    FRing->Terminate();
  }
  FRelay.CancelIdentification();
  FRelay.CloseCOMPort();
  EnableInputs(true);
  SetPhase(TPhase::Idle);
}

void TSession::Disconnect() {
  ShowNoConnection(csIdle, TEndReason::Disconnected);
  FRelay.Stop();
  FReopen.Stop();
  if (FModemConnect) {
    FRelay.CloseCOMPort(THangUp::Escape);
    FModemConnect = false;
  }
  emit PortListRefreshRequested();
  EnableInputs(true);
  Teardown();
  SetPhase(TPhase::Idle);
}

void TSession::FormClose() {
  FClosed = true;
  FBoxes.clear();
  FOpenWhenFree = {};
  if (FRelay.Running()) {
    FEndReason = TEndReason::WindowClosed;
    FRelay.Stop();
    Teardown();
  } else if (FPhase == TPhase::Identifying) {
    FRelay.CancelIdentification();
    FRelay.CloseCOMPort();
  }
  FLauncher.StopSetupProgram();
}

void TSession::MainLoop() {
  SetPhase(TPhase::Identifying);
  FRelay.RequestVersionInfo(FModemConnect);
}

void TSession::Identified(TIdentification result) {
  if (FPhase != TPhase::Identifying)
    return;
  switch (result) {
  case TIdentification::Answered:
    if (StartTCPServer())
      StartSetupProgram();
    break;
  case TIdentification::NoAnswer:
    FailurePathA();
    break;
  case TIdentification::RequestNotWritten:
    FailurePathRequest();
    break;
  }
}

bool TSession::StartTCPServer() {
  try {
    FRelay.StartTCPServer(FSettings.TakeServerPort());
    return true;
  } catch (const std::exception &error) {
    FailurePathServer(QString::fromUtf8(error.what()));
    return false;
  }
}

// The launcher's own box, if it has one, comes before the report that no
// setup program runs.
void TSession::StartSetupProgram() {
  const TSetupStart start = FLauncher.StartSetupProgram(FRelay.VerInfo());
  const auto proceed = [this, refusal = start.refusal] {
    if (FLauncher.SetupIsStarted())
      StartRelay();
    else
      FailurePathB(refusal);
  };
  if (start.box.isEmpty()) {
    proceed();
    return;
  }
  SetPhase(TPhase::Reporting);
  Box(ErrorPrompt(start.box), proceed);
}

void TSession::StartRelay() {
  FRelay.Start(FChoice.port, FModemConnect, FFixedPacing, FModemConnect ? kModemBaudRate : FSettings.BaudRate());
  SetState(csConnected);
  SetStatus(QStringLiteral("Подключен"));
  SetPhase(TPhase::Relaying);
}

void TSession::FailurePathA() {
  const QString notFound = QStringLiteral("Устройство не обнаружено, работа программы невозможна");
  EndFailedAttempt(notFound, notFound + QLatin1Char('.'), TEndReason::NoAnswer, false);
}

// The port refused the request: nothing was asked, so the box says what
// failed instead of blaming the device.
void TSession::FailurePathRequest() {
  const QString failed = QStringLiteral("Ошибка записи в COM порт");
  EndFailedAttempt(failed, failed + QLatin1Char('.'), TEndReason::RequestNotWritten, false);
}

// A program that was found but cannot run here says why instead.
void TSession::FailurePathB(const QString &refusal) {
  if (!refusal.isEmpty()) {
    EndFailedAttempt(refusal, refusal, TEndReason::SetupRefused, false);
    return;
  }
  EndFailedAttempt(QStringLiteral("Не найдена программа настройки"),
                   QStringLiteral("Программа настройки для данного прибора не обнаружена."),
                   TEndReason::NoSetupProgram, false);
}

// The server could not listen: the attempt ends like the other failures, with
// the socket layer's reason shown, and a modem call is hung up.
void TSession::FailurePathServer(const QString &reason) {
  FRelay.Stop();
  FReopen.Stop();
  EndFailedAttempt(reason, reason, TEndReason::ServerFailed, FModemConnect);
}

void TSession::EndFailedAttempt(const QString &logText, const QString &boxText, TEndReason reason, bool hangUp) {
  WriteLog(logText);
  SetPhase(TPhase::Reporting);
  Box(ErrorPrompt(boxText), [this, reason, hangUp] { EndAttempt(reason, hangUp); });
}

// Every attempt that fails or breaks off ends the same way: back to state 0
// with the server stopped, the port closed (a call hung up first) and the
// inputs free.
void TSession::EndAttempt(TEndReason reason, bool hangUp) {
  ShowNoConnection(csIdle, reason);
  FRelay.Stop();
  FRelay.StopTCPServer();
  FRelay.CloseCOMPort(hangUp && FRelay.PortOpen() ? THangUp::Escape : THangUp::None);
  EnableInputs(true);
  SetPhase(TPhase::Idle);
}

// After the relay has ended: the port closed, the server stopped, and the
// setup program stopped, unless a modem call was lost (it stays for the
// reconnect, and the window comes to the front).
void TSession::Teardown() {
  FReopen.Stop();
  if (FRelay.PortOpen())
    FRelay.CloseCOMPort();
  FRelay.StopTCPServer();
  if (FModemConnect)
    emit BringToFrontRequested();
  else
    FLauncher.StopSetupProgram();
}

void TSession::PortLost(TPortLoss reason, const QString &error) {
  if (FPhase != TPhase::Relaying)
    return;
  if (reason == TPortLoss::WriteFailed) {
    WriteLog(QStringLiteral("Ошибка записи в COM порт"));
    if (!error.isEmpty())
      WriteLog(error);
    SetStatus(QStringLiteral("Прибор не доступен"), true);
    FRelay.DropClientConnections();
  } else {
    FRelay.CloseCOMPort();
    SetStatus(QStringLiteral("Прибор недоступен"), true);
    FRelay.StopTCPServer();
  }
  if (FModemConnect) {
    ModemPortLossStep();
    return;
  }
  SetPhase(TPhase::Recovering);
  FReopen.Start(kReopenMs);
}

// The attempt is made whether or not the port is present; a failed one waits
// for the next.
void TSession::ReopenStep() {
  if (FPhase != TPhase::Recovering)
    return;
  WriteLog(QStringLiteral("Попытка переокрытия COM порта"));
  if (!FRelay.OpenCOMFromSettings(FChoice.port, FSettings.BaudRate())) {
    FReopen.Start(kReopenMs);
    return;
  }
  if (!StartTCPServer())
    return;
  WriteLog(QStringLiteral("Порт успешно переоткрыт"));
  SetStatus(QStringLiteral("Подключен"));
  SetPhase(TPhase::Relaying);
  FRelay.Resume();
}

void TSession::ModemPortLossStep() {
  WriteLog(QStringLiteral("Завершение работы по потере порта."));
  ShowNoConnection(csIdle, TEndReason::ModemPortLost);
  FRelay.Stop();
  EnableInputs(true);
  Teardown();
  SetPhase(TPhase::Idle);
}

// A result code in the data: state 3, "ATH", the port closed; a relay ends
// and keeps its setup program for the reconnect. During the identification
// the wait runs on, and with the port closed no answer comes.
void TSession::ModemHangup() {
  if (FPhase != TPhase::Relaying && FPhase != TPhase::Identifying)
    return;
  ShowNoConnection(csModemLost, TEndReason::ModemHangup);
  FRelay.CloseCOMPort(THangUp::ResultCode);
  if (FPhase != TPhase::Relaying)
    return;
  FRelay.Stop();
  Teardown();
  SetPhase(TPhase::ModemLost);
}

void TSession::SetState(TConnectState state) {
  FState = state;
  emit StateChanged(state);
}

void TSession::SetStatus(const QString &text, bool error) {
  FStatusText = text;
  FStatusIsError = error;
  emit StatusChanged(text, error);
}

void TSession::ShowNoConnection(TConnectState state, TEndReason reason) {
  SetState(state);
  SetStatus(kNoConnection);
  FEndReason = reason;
  WriteLog(QStringLiteral("Установили \"Нет подключения\", ") + Where(reason));
}

void TSession::EnableInputs(bool enabled) { SetInputs({enabled, enabled, enabled, enabled}); }

void TSession::SetInputs(const TInputs &inputs) {
  FInputs = inputs;
  emit InputsChanged(inputs);
}

void TSession::Box(const TPrompt &prompt, std::function<void()> then) {
  if (FClosed)
    return;
  FBoxes.push_back({prompt, std::move(then)});
  if (FBoxes.size() == 1)
    emit BoxRequested(prompt);
}

// A box the continuation asks for shows itself; one queued before it is
// shown here.
void TSession::BoxClosed() {
  if (FBoxes.empty())
    return;
  const std::function<void()> then = std::move(FBoxes.front().then);
  FBoxes.pop_front();
  const bool queued = !FBoxes.empty();
  if (then)
    then();
  if (queued && !FBoxes.empty())
    emit BoxRequested(FBoxes.front().prompt);
}

void TSession::WriteLog(const QString &text) { FLog.WriteLog(text); }
