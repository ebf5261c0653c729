#pragma once
// The bridge's data path: the serial port of the main window, the two
// transfer buffers, the device identification, the TCP endpoint's handlers
// and the relay pass with its recovery steps. The window it runs in keeps the
// window's jobs (log, status line, connection state, settings) and offers
// them through TRelayWindow.

#include "app/RelayPacing.h"
#include "app/ServerSocket.h"
#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class TPortWatcher;

using TClientConnection = TServerSocket::TClientConnection;

// Connection states kept in the connect label's tag.
enum TConnectState { csIdle = 0, csConnecting = 1, csConnected = 2, csModemLost = 3 };

// Why the relay loop ended.
enum class TRelayEnd { None, UserDisconnect, WindowClosed, ModemHangup, ModemPortLost, ServerFailed };

// Why the port was last lost while the relay ran.
enum class TPortLoss { None, Vanished, WriteFailed };

// How the device answered the identification request.
enum class TIdentification { Answered, NoAnswer, RequestNotWritten };

class TRelayWindow {
public:
  virtual void WriteLog(const QString &text, const QString &prefix = QString()) = 0;
  // A chunk of relayed or identification bytes; decoded only if it is shown.
  virtual void WriteLogChunk(QByteArrayView chunk, const QString &prefix) = 0;
  virtual void SetStatus(const QString &text, bool error = false) = 0;
  // The label in `state`, the status "Нет подключения", and the log line that
  // says where the connection ended.
  virtual void ShowNoConnection(TConnectState state, const QString &where) = 0;
  virtual TConnectState ConnectState() const = 0;
  virtual void EnableInputs(bool enabled) = 0;
  virtual QString SelectedPort() const = 0;
  virtual int32_t CableBaudRate() const = 0;
  // Starts the server again after the port came back; false when it could not
  // listen, in which case the window has ended the attempt.
  virtual bool RestartTCPServer() = 0;

protected:
  ~TRelayWindow() = default;
};

// Lets the event loop deliver what is pending (socket notifications, clicks,
// the window's close), also objects that wait for deferred deletion.
void ProcessMessages();

class TRelay {
public:
  static constexpr int32_t kDataBufferSize = 32768;
  // A line that takes no byte for this long while a chunk waits is logged.
  static constexpr uint32_t kStallReportMs = 5000;

  TRelay(TRelayWindow &window, TServerSocket &server, TClock &clock, const TPortSystem &ports);
  ~TRelay();
  TRelay(const TRelay &) = delete;
  TRelay &operator=(const TRelay &) = delete;

  // The port: opened from the window's port and speed, or taken over from a
  // connected modem call.
  bool OpenCOMFromSettings();
  void TakeOverCOM(TCOMHandle handle);
  void CloseCOMPort();
  bool PortOpen() const { return FCOMHandle != INVALID_HANDLE_VALUE; }
  // Escapes to command mode with "+++", hangs up and closes the port.
  void HangUpModem();

  // Asks the device who it is: answered when a reply holding "OK\r\n" came
  // within 10 s (kept in VerInfo()); a request the port refused ends the wait
  // at once, with the reason in the log.
  TIdentification RequestVersionInfo();
  const QByteArray &VerInfo() const { return FVerInfo; }

  // The TCP endpoint. Starting and stopping drop every client at once, with
  // whatever of theirs still waits for the port.
  void StartTCPServer(quint16 port);
  void StopTCPServer();
  bool SetupConnected() const { return FSetupConnected; }

  // One connection: BeginConnection before the identification, Start when the
  // relay loop begins, RelayPass while Running(), Stop from anywhere (a
  // handler inside the pass included: the pass then runs to its end).
  void BeginConnection();
  void Start();
  void Stop(TRelayEnd reason);
  bool Running() const { return FConnected; }
  void SetModemConnect(bool modem) { FModemConnect = modem; }
  bool ModemConnect() const { return FModemConnect; }
  bool Recovering() const { return FNeedCOMReconnect; }
  TRelayEnd EndReason() const { return FEndReason; }
  TPortLoss PortLoss() const { return FPortLoss; }
  // The fixed 50 ms pacing of every transfer, for a setup program that relies
  // on it; otherwise bytes move as they come. Takes effect at Start().
  void SetFixedPacing(bool fixed) { FFixedPacing = fixed; }
  bool FixedPacing() const { return FFixedPacing; }

  // Events, a chunk each way, the paced wait and the presence check.
  void RelayPass();
  // Processes events until `ms` have passed on the clock; an idle wait sleeps
  // in the event loop. While the relay runs, bytes that come meanwhile are
  // moved as the pacing says.
  void WaitWithMessages(uint32_t ms);

private:
  void WakeAfter(uint32_t ms);
  // Port I/O through the transfer buffers.
  void WatchPort();
  void ClosePort(bool cancelIo);
  TIdentification RequestNotWritten();
  int32_t COMRead();
  int32_t COMWrite(const char *data, int32_t n);
  bool IsModemHangup(int32_t n);
  QByteArray BufferToString(int32_t n) const;
  void SendATHAndClose();
  void LosePort(TPortLoss reason);

  // Pass steps, and the moves within the pass's wait.
  bool RelaysAsBytesCome() const;
  void MoveDueBytes();
  void RelaySocketToCOM();
  void WriteClientChunk();
  void RelayCOMToSocket();
  void CollectDeviceBytes();
  void SendDeviceChunk(bool processEventsFirst);
  bool EndedByModem(int32_t n);
  void ReopenStep();
  void ModemPortLossStep();
  void PresenceCheck();
  void NoteLineProgress(int32_t written);
  // Bytes taken and not moved because the relay ended meanwhile.
  void LogChunkNotDelivered();

  // TCP endpoint.
  bool SendToSetupProgram(int32_t count);
  void DropClientConnections();
  void DropClientChunk();
  void ClientChunkDelivered();
  void ServerSocketClientConnect(TClientConnection *socket);
  void ServerSocketClientDisconnect(TClientConnection *socket);
  void ServerSocketClientRead(TClientConnection *socket);
  void ServerSocketClientError(TClientConnection *socket, int &errorCode);

  TRelayWindow &FWindow;
  TServerSocket &FServer;
  TClock &FClock;
  TPortSystem FPorts;
  QTimer FWakeTimer;
  uint32_t FWakeAt = 0; // the tick FWakeTimer is set for
  TRelayPacing FPacing;
  bool FFixedPacing = false;
  std::unique_ptr<TPortWatcher> FPortWatch; // wakes the relay when the port is ready

  std::array<char, kDataBufferSize> FDataBuffer{};   // the device's chunk towards the client
  int32_t FChunkSize = 0;                            // bytes of that chunk collected so far
  std::array<char, kDataBufferSize> FSocketBuffer{}; // the client chunk waiting for the port
  int32_t FReadSocket = 0;                           // bytes of that chunk not yet written
  int32_t FSocketWritten = 0;                        // bytes of that chunk already written
  QPointer<TClientConnection> FChunkClient;          // whose chunk it is
  bool FChunkClientClosed = false;                   // it closed before the chunk was written
  std::optional<uint32_t> FStallSince;               // tick of the first write that took nothing
  bool FStallReported = false;

  TCOMHandle FCOMHandle = INVALID_HANDLE_VALUE;
  QByteArray FVerInfo;
  bool FSetupConnected = false;
  bool FConnected = false;
  bool FModemConnect = false;
  bool FNeedCOMReconnect = false;
  TRelayEnd FEndReason = TRelayEnd::None;
  TPortLoss FPortLoss = TPortLoss::None;
};
