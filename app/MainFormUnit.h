#pragma once
// The wizard's main window and the bridge it runs. The methods are split by
// concern over several source files: MainFormUnit.cpp (window, log writer,
// hot keys, start-up and close), PortList.cpp, PortIO.cpp, TCPEndpoint.cpp,
// BridgeLoop.cpp, Launcher.cpp, Settings.cpp and Controller.cpp.

#include "app/ServerSocket.h"
#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QByteArray>
#include <QWidget>

#include <array>
#include <memory>

class QComboBox;
class QLabel;
class QTimer;
class QToolButton;
class TCOMSettingsForm;
class TLOGForm;
class TRingThread;
class TSetupLauncher;
class TTCPServerSettingsForm;
class TURLLabel;

using TClientConnection = TServerSocket::TClientConnection;

// What the window works with: real by default, replaced by tests.
struct TMainFormEnvironment {
  TClock *clock;          // paces every wait of the bridge
  TPortSystem portSystem; // where ports are listed and checked
  QString storePath;      // the per-user settings file
  QString setupFolder;    // where setup.ini and the setup programs are
  static TMainFormEnvironment FromSystem();
};

// Connection states kept in the connect label's tag.
enum TConnectState { csIdle = 0, csConnecting = 1, csConnected = 2, csModemLost = 3 };

class TMainTandrelForm : public QWidget {
  Q_OBJECT
public:
  static constexpr int kDataBufferSize = 32768;

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
  void WriteLog(const QString &text, const QString &prefix = QString());
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

  // Port I/O through the transfer buffer.
  int32_t COMRead();
  int32_t COMWrite(const char *data, int32_t n);
  bool IsModemHangup(int32_t n);
  QByteArray BufferToString(int32_t n) const;
  int32_t StringToBuffer(const QByteArray &s);
  void CloseCOMPort();
  bool OpenCOMFromSettings();
  bool RequestVersionInfo();

  // TCP endpoint.
  void StartTCPServer();
  void StopTCPServer();
  bool SendToSetupProgram(int32_t count);
  void DropClientConnections();
  void ServerSocketClientConnect(TClientConnection *socket);
  void ServerSocketClientDisconnect(TClientConnection *socket);
  void ServerSocketClientRead(TClientConnection *socket);
  void ServerSocketClientError(TClientConnection *socket, int &errorCode);
  void ServerSocketRequestRead();

  // Main loop.
  void MainLoop();
  // One pass of the relay loop: events, a chunk each way, the paced wait and
  // the presence check.
  void RelayPass();
  void WaitWithMessages(uint32_t ms);

  // Setup program launcher.
  void StartSetupProgram();
  void StopSetupProgram();
  bool SetupIsStarted() const;
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
  TCOMHandle InitCOMPort();

  // Bridge state.
  std::array<char, kDataBufferSize> FDataBuffer{};   // serial reads, the identification request
  std::array<char, kDataBufferSize> FSocketBuffer{}; // the client chunk waiting for the port
  int32_t FReadSocket = 0;                           // bytes of FSocketBuffer not yet written
  TCOMHandle FCOMHandle = INVALID_HANDLE_VALUE;
  QByteArray FVerInfo;
  bool FSetupConnected = false;
  bool FConnected = false;
  bool FModemConnect = false;
  bool FNeedCOMReconnect = false;
  TRingThread *FRing = nullptr;

  // Helpers shared by the concerns above.
  void ProcessMessages();
  void SetConnectState(TConnectState state);
  TConnectState ConnectState() const;
  void SetStatus(const QString &text, bool error = false);
  // The label in `state`, the status "Нет подключения", and the log line that
  // says where the connection ended.
  void ShowNoConnection(TConnectState state, const QString &where);
  void EnableInputs(bool enabled);
  bool LogShown() const;

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  bool event(QEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

private:
  void CreateControls();
  void RelaySocketToCOM();
  void RelayCOMToSocket();
  void ReopenStep();
  void ModemPortLossStep();
  void PresenceCheck();
  void FailurePathA();
  void FailurePathB();
  void FailurePathServer(const QString &reason);
  void EndFailedAttempt(const QString &logText, const QString &boxText, const QString &where, bool hangUp);
  bool StartTCPServerOrEnd();
  void Teardown();
  void HangUpModem();
  void SendATHAndClose();
  void CancelRing();
  void StartDial();
  void CancelDial();
  void Disconnect();

  TClock &FClock;
  TPortSystem FPortSystem;
  QString FStorePath;
  QString FSetupFolder;
  QTimer *FWakeTimer;
  std::unique_ptr<TSetupLauncher> FLauncher;
};
