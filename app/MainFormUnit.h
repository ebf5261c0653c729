#pragma once
// The wizard's main window. Its methods are split by concern over several
// source files: MainFormUnit.cpp (window, log writer, hot keys, start-up and
// close), PortList.cpp, TCPEndpoint.cpp (the server's settings),
// BridgeLoop.cpp (one connection from identification to teardown),
// Launcher.cpp, Settings.cpp and Controller.cpp. The data path itself is the
// relay (Relay.h), which the window drives.

#include "app/Relay.h"
#include "app/ServerSocket.h"
#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QToolButton;
class TCOMSettingsForm;
class TLOGForm;
class TRingThread;
class TSetupLauncher;
class TTCPServerSettingsForm;
class TURLLabel;

// What the window works with: real by default, replaced by tests.
struct TMainFormEnvironment {
  TClock *clock;          // paces every wait of the bridge
  TPortSystem portSystem; // where ports are listed and checked
  QString storePath;      // the per-user settings file
  QString setupFolder;    // where setup.ini and the setup programs are
  static TMainFormEnvironment FromSystem();
};

class TMainTandrelForm : public QWidget, private TRelayWindow {
  Q_OBJECT
public:
  explicit TMainTandrelForm(const TMainFormEnvironment &environment, QWidget *parent = nullptr);
  ~TMainTandrelForm() override;

  // The other three windows, created after this one.
  void AttachWindows(TCOMSettingsForm *comSettings, TTCPServerSettingsForm *tcpSettings, TLOGForm *log);

  // Controls.
  QLabel *Label3;
  QComboBox *ConnectTypeComboBox;
  QLabel *Label4;
  QComboBox *PortsListComboBox;
  QToolButton *SpeedButton1;
  QLabel *Label5;
  QComboBox *PhoneNumber;
  TURLLabel *URLLabel1;
  QLabel *Label6;
  QLabel *Label7;
  TServerSocket *ServerSocket;

  TCOMSettingsForm *COMSettingsForm = nullptr;
  TTCPServerSettingsForm *TCPServerSettingsForm = nullptr;
  TLOGForm *LOGForm = nullptr;

  // Window, hot keys, log writer, start-up and close.
  void ConnectTypeComboBoxChange();
  // Returns whether the key opened a window; the key is never consumed.
  bool FormKeyDown(int key, Qt::KeyboardModifiers shift);
  void WriteLog(const QString &text, const QString &prefix = QString()) override;
  // Logs a chunk of relayed or identification bytes: as text split into lines
  // like WriteLog, or as one entry in the log window's hex view.
  void WriteLogChunk(QByteArrayView chunk, const QString &prefix) override;
  bool Autoscroll() const;
  void FormCreate();
  void FormClose();
  static QString GetFileVersionString();

  // Port list.
  // The open list shows each port's description beside its path.
  static void ShowPortDescriptions(QComboBox *combo);
  void RefreshPortsList();
  static void SelectComboItem(QComboBox *combo, const QString &text);
  void SpeedButton1Click();

  // The server on the port of the TCP settings dialog.
  void StartTCPServer();
  void StopTCPServer();

  // One connection, from the identification to the teardown.
  void MainLoop();
  TRelay &Relay() { return *FRelay; }
  const TRelay &Relay() const { return *FRelay; }

  // Setup program launcher.
  void StartSetupProgram();
  void StopSetupProgram();
  bool SetupIsStarted() const;
  // Why the setup program could not start, when the launcher has a box text for it.
  QString SetupRefusal() const;
  qint64 SetupProcessId() const;

  // Settings.
  void LoadPhoneNumbers();
  void StorePhoneNumber(const QString &number);
  void LoadSettings();
  void SaveSettings();

  // Connection controller.
  void URLLabel1Click();
  void RingThreadTerminated(TRingThread *thread);
  void WMRingProgress(int stage);
  bool InitCOMPort();

  TRingThread *FRing = nullptr;
  bool FHexLogView = false; // the log window's "Шестнадцатеричный вид", stored with the settings

  // Helpers shared by the concerns above.
  void SetConnectState(TConnectState state);
  TConnectState ConnectState() const override;
  void SetStatus(const QString &text, bool error = false) override;
  void ShowNoConnection(TConnectState state, const QString &where) override;
  void EnableInputs(bool enabled) override;
  bool LogShown() const;

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  bool event(QEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

private:
  // What the relay asks of the window.
  QString SelectedPort() const override;
  int32_t CableBaudRate() const override;
  bool RestartTCPServer() override;

  void CreateControls();
  void AppendLogEntries(const QStringList &lines, const QString &prefix);
  void AppendToLogList(const QStringList &entries);
  void LoadStored(void (TMainTandrelForm::*load)());
  void SetAsideBrokenSettings(const QString &error);
  void FailurePathA();
  void FailurePathRequest();
  void FailurePathB();
  void FailurePathServer(const QString &reason);
  void EndFailedAttempt(const QString &logText, const QString &boxText, const QString &where, bool hangUp);
  void EndAttempt(const QString &where, bool hangUp);
  // Runs a handler's body; an error escaping it is reported by the top-level
  // error reporting once the window shows again what really runs.
  void RunHandler(const std::function<void()> &body);
  void ShowWhatRuns();
  void ConnectLabelClicked();
  bool StartTCPServerOrEnd();
  void Teardown();
  void CancelRing();
  void StartDial();
  void CancelDial();
  void Disconnect();
  void LeaveMainLoop();

  TClock &FClock;
  TPortSystem FPortSystem;
  QString FStorePath;
  QString FSetupFolder;
  std::unique_ptr<TSetupLauncher> FLauncher;
  std::unique_ptr<TRelay> FRelay;
  // Log entries made at start-up, before the log window exists.
  QStringList FStartupLog;
  bool FBrokenSettingsReported = false;
  int FMainLoops = 0; // connections' main loops on the stack
  // A click made while a main loop was ending, and the state it was made in.
  std::optional<TConnectState> FClickAfterLoop;
  bool FClosed = false; // the window has been closed: no click acts any more
};
