#pragma once
// One bridged connection at a time, as an event-driven state machine: the
// connect label's states 0–3 and the phases inside them, moved on by the
// user's requests, the port's and the sockets' readiness, timers, the
// dialer's queued notifications and the teardown's. It owns the port (through
// the relay), the dialer, the bridge server, the setup program launcher and
// the teardown, writes the log, and tells the window what to show. It never
// waits: every pause is a timer or runs on a worker.

#include "core/ClockTimer.h"
#include "core/Prompt.h"
#include "core/Relay.h"
#include "core/SetupLauncher.h"
#include "core/Teardown.h"
#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

class TBridgeSettings;
class TLogModel;
class TRingThread;

// The connection state, shown by the connect label's caption.
enum TConnectState { csIdle = 0, csConnecting = 1, csConnected = 2, csModemLost = 3 };

// Where a connection is within its state.
enum class TPhase {
  Idle,           // 0
  Opening,        // 1: the port is still being let go by an earlier connection
  Stalled,        // 1: the cable's port could not be opened (or no type was
                  //    chosen); the next click cancels
  Dialling,       // 1: the dialer runs
  Identifying,    // 1: the device is asked who it is
  Reporting,      // 1: a failure's box is up; the attempt ends once it is closed
  Relaying,       // 2
  Recovering,     // 2: the cable's port is lost and reopened every 550 ms
  ModemLost,      // 3: the call was hung up; a reconnect is offered
};

// Why a connection or an attempt ended: the log's line "Установили "Нет
// подключения", …" says where from it.
enum class TEndReason {
  None,
  Cancelled,         // the click on "Отмена подключения"
  Disconnected,      // the click on "Отключить"
  NoAnswer,          // nothing answered the identification in 10 s
  RequestNotWritten, // the port refused the identification request
  NoSetupProgram,    // no setup program for the device
  SetupRefused,      // a setup program that cannot run here
  ServerFailed,      // the bridge could not listen
  ModemHangup,       // the modem's result code in the relayed data
  ModemPortLost,     // the port of a modem connection vanished
  DialFailed,        // the dialer ended with a failure code
  HandlerError,      // an error broke a request off
  WindowClosed,
};

// The user's choices in the main window when the connect label is clicked.
struct TConnectChoice {
  int type = 0; // 0 modem ("CSD (GSM-модем)"), 1 cable ("USB/COM (кабель)"), else none
  QString port;
  QString phone;
};

// Which of the main window's inputs may be used.
struct TInputs {
  bool type = true;
  bool port = true;
  bool phone = true;
  bool refresh = true;
  bool operator==(const TInputs &) const = default;
};

struct TSessionEnvironment {
  TClock *clock;          // paces every wait of the session
  TPortSystem portSystem; // where ports are checked
  QString storePath;      // the per-user settings (the phone history)
  QString setupFolder;    // where setup.ini and the setup programs are

  // The program's own: the system clock and ports, the user's settings, and
  // the first data folder that holds setup.ini.
  static TSessionEnvironment FromSystem();
};

class TSession : public QObject {
  Q_OBJECT

public:
  static constexpr int kModemType = 0;
  static constexpr int kCableType = 1;
  static constexpr int32_t kModemBaudRate = 19200;
  static constexpr uint32_t kReopenMs = 550;

  TSession(const TSessionEnvironment &environment, TLogModel &log, TBridgeSettings &settings,
           QObject *parent = nullptr);
  ~TSession() override;

  // The click on the connect label, with the window's choices at that moment.
  void URLLabel1Click(const TConnectChoice &choice);
  // The main window closes: a running relay ends, the setup program is
  // stopped; nothing is started or shown afterwards.
  void FormClose();
  // The box last asked for was closed.
  void BoxClosed();
  // "FIXEDPACING": every transfer at the relay's 50 ms pass.
  void SetFixedPacing(bool fixed) { FFixedPacing = fixed; }
  bool FixedPacing() const { return FFixedPacing; }

  TConnectState State() const { return FState; }
  TPhase Phase() const { return FPhase; }
  QString StatusText() const { return FStatusText; }
  bool StatusIsError() const { return FStatusIsError; }
  TInputs Inputs() const { return FInputs; }
  // Why the last connection or attempt ended.
  TEndReason EndReason() const { return FEndReason; }
  bool ModemConnect() const { return FModemConnect; }
  // Whether the teardown still closes a port or ends a program.
  bool TearingDown() const { return FTeardown.Busy(); }
  const TRelay &Relay() const { return FRelay; }
  TRelay &Relay() { return FRelay; }
  const TSetupLauncher &Launcher() const { return FLauncher; }

signals:
  void StateChanged(TConnectState state);
  void StatusChanged(const QString &text, bool error);
  void InputsChanged(const TInputs &inputs);
  // Show the box; BoxClosed() once the user has closed it.
  void BoxRequested(const TPrompt &prompt);
  // The port list is to be read again, the chosen port kept if it is there.
  void PortListRefreshRequested();
  // The stored phone numbers changed.
  void PhoneHistoryChanged(const QStringList &numbers);
  void BringToFrontRequested();

private:
  // Controller.
  bool RefusedChoice(const TConnectChoice &choice);
  void Connect(const TConnectChoice &choice);
  void OpenWhenPortFree(std::function<void()> open);
  void OpenCable();
  void StartDial();
  void CancelConnecting();
  void Disconnect();
  void RingThreadTerminated(TRingThread *ring);
  void WMRingProgress(int stage);

  // Main loop.
  void MainLoop();
  void Identified(TIdentification result);
  bool StartTCPServer();
  void StartSetupProgram();
  void StartRelay();
  void FailurePathA();
  void FailurePathRequest();
  void FailurePathB(const QString &refusal);
  void FailurePathServer(const QString &reason);
  void EndFailedAttempt(const QString &logText, const QString &boxText, TEndReason reason, bool hangUp);
  void EndAttempt(TEndReason reason, bool hangUp);
  void Teardown();

  // Relay events.
  void PortLost(TPortLoss reason, const QString &error);
  void ReopenStep();
  void ModemPortLossStep();
  void ModemHangup();

  // What the window shows.
  void SetState(TConnectState state);
  void SetPhase(TPhase phase) { FPhase = phase; }
  void SetStatus(const QString &text, bool error = false);
  void ShowNoConnection(TConnectState state, TEndReason reason);
  void EnableInputs(bool enabled);
  void SetInputs(const TInputs &inputs);
  // Shows the box (after any still up); `then` runs once it is closed.
  void Box(const TPrompt &prompt, std::function<void()> then = {});
  void WriteLog(const QString &text);
  void OpenIfFree();

  TClock &FClock;
  TPortSystem FPortSystem;
  QString FStorePath;
  TLogModel &FLog;
  TBridgeSettings &FSettings;
  TTeardown FTeardown;
  TRelay FRelay;
  TSetupLauncher FLauncher;
  TClockTimer FReopen;
  QPointer<TRingThread> FRing;
  int FRingsRunning = 0;

  TConnectChoice FChoice;
  TConnectState FState = csIdle;
  TPhase FPhase = TPhase::Idle;
  QString FStatusText;
  bool FStatusIsError = false;
  TInputs FInputs;
  TEndReason FEndReason = TEndReason::None;
  bool FModemConnect = false;
  bool FFixedPacing = false;
  bool FClosed = false;
  struct TPendingBox {
    TPrompt prompt;
    std::function<void()> then;
  };
  std::deque<TPendingBox> FBoxes; // the first is up
  std::function<void()> FOpenWhenFree;
};
