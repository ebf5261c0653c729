#pragma once
// The bridge's data path: the serial port with its watcher, the two transfer
// buffers, the device identification, the TCP endpoint's handlers, and the
// relay driven by the readiness of the port and the sockets, with its 50 ms
// pass. It keeps no connection state of its own beyond that: what a lost
// port or a modem's hang-up means is the session's business, told through
// signals.

#include "core/ClockTimer.h"
#include "core/ModemResultLines.h"
#include "core/RelayPacing.h"
#include "core/UndeliveredReport.h"
#include "core/ServerSocket.h"
#include "core/Teardown.h"
#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class TLogModel;
class TPortWatcher;

using TClientConnection = TServerSocket::TClientConnection;

// How the device answered the identification request.
enum class TIdentification { Answered, NoAnswer, RequestNotWritten };

// Why the relay gave the port up.
enum class TPortLoss { None, Vanished, WriteFailed };

class TRelay : public QObject {
  Q_OBJECT

public:
  static constexpr int32_t kDataBufferSize = 32768;
  // A line that takes no byte for this long while a chunk waits is logged.
  static constexpr uint32_t kStallReportMs = 5000;
  // The relay's pass: the fixed-pacing transfers and the presence check.
  static constexpr uint32_t kPassMs = 50;
  static constexpr uint32_t kIdentificationTimeoutMs = 10000;

  TRelay(TLogModel &log, TTeardown &teardown, TClock &clock, const TPortSystem &ports, QObject *parent = nullptr);
  ~TRelay() override;

  // The port: opened by name at a speed, or taken over from a connected
  // modem call. `error` (if given) tells why an open failed.
  bool OpenCOMFromSettings(const QString &port, int32_t baudRate, TSerialError *error = nullptr);
  void TakeOverCOM(TCOMHandle handle);
  // Hands the port to the teardown to be closed (hung up first for a modem);
  // the relay stops using it at once. Bytes taken from the port that the
  // client never got are said in the log.
  void CloseCOMPort(THangUp hangUp = THangUp::None);
  bool PortOpen() const { return FCOMHandle != INVALID_HANDLE_VALUE; }
  TCOMHandle COMHandle() const { return FCOMHandle; }

  // Asks the device who it is: Identified() tells how it went, at once when
  // the port refused the request, else once a reply holding "OK\r\n" came or
  // 10 s passed. In a `modem` connection a hang-up seen in the reply is told
  // by ModemHangup() and ends no wait: with the port closed, no answer comes.
  void RequestVersionInfo(bool modem);
  // Ends a running identification without a result.
  void CancelIdentification();
  const QByteArray &VerInfo() const { return FVerInfo; }

  // The TCP endpoint. Starting and stopping drop every client at once, with
  // whatever of theirs still waits for the port. Start throws TSocketError.
  void StartTCPServer(quint16 port);
  void StopTCPServer();
  bool ServerActive() const { return FServer.Active(); }
  quint16 ServerPort() const { return FServer.Port(); }
  TServerSocket &Server() { return FServer; }
  bool SetupConnected() const { return FSetupConnected; }
  // Closes every client; the server keeps listening.
  void DropClientConnections();

  // The relay on the open port: bytes move as they come (or, with fixed
  // pacing, at each 50 ms pass), a chunk each way per pass, and each pass
  // ends with the presence check of `portName`.
  void Start(const QString &portName, bool modem, bool fixedPacing, int32_t baudRate);
  // Ends the relay; the port and the server stay as they are.
  void Stop();
  bool Running() const { return FConnected; }
  // The port came back: the relay goes on with it (Start's settings kept).
  void Resume();
  // While the port is away nothing is read or written.
  void Suspend();

signals:
  void Identified(TIdentification result);
  // A modem's result code in bytes read from the port: the chunk is not
  // relayed, and the lines that say so are in the log.
  void ModemHangup();
  // The relay gave the port up: it vanished (the presence check, or the
  // system says it is gone) or a write to it failed (`error` tells why).
  void PortLost(TPortLoss reason, const QString &error);

private:
  void WatchPort();
  void PortReady();
  int32_t COMRead();
  int32_t COMWrite(const char *data, int32_t n);
  bool IsModemHangup(int32_t n);
  QByteArray BufferToString(int32_t n) const;

  // Identification.
  bool WriteRequest();
  void ReadReply();
  void FinishIdentification(TIdentification result);

  // Relay moves.
  void RelayPass();
  bool RelaysAsBytesCome() const;
  void MoveDueBytes();
  void WriteClientChunk();
  void NoteLineProgress(int32_t written);
  void CollectDeviceBytes();
  void SendDeviceChunk();
  void PresenceCheck();
  void LosePort(TPortLoss reason, const QString &error = QString());
  // Bytes taken and not moved because the relay ended meanwhile.
  void LogChunkNotDelivered();

  // TCP endpoint.
  // Why the device's chunk of `count` bytes did not go out; nullopt: it did.
  std::optional<TUndelivered> SendToSetupProgram(int32_t count);
  void DropClientChunk();
  void ClientChunkDelivered();
  void ServerSocketClientConnect(TClientConnection *socket);
  void ServerSocketClientDisconnect(TClientConnection *socket);
  void ServerSocketClientRead(TClientConnection *socket);
  void ServerSocketClientError(TClientConnection *socket, int &errorCode);

  TLogModel &FLog;
  TTeardown &FTeardown;
  TClock &FClock;
  TPortSystem FPorts;
  TServerSocket FServer;
  QTimer FPass;
  TClockTimer FGap;                // the device's burst has ended
  TClockTimer FIdentificationLimit; // the 10 s of the identification
  TRelayPacing FPacing;
  TModemResultLines FResultLines;
  TUndeliveredReport FUndelivered;
  bool FFixedPacing = false;
  int32_t FBaudRate = 0;
  QString FPortName;
  std::unique_ptr<TPortWatcher> FPortWatch;

  std::array<char, kDataBufferSize> FDataBuffer{};   // the device's chunk towards the client
  int32_t FChunkSize = 0;                            // bytes of that chunk collected so far
  std::array<char, kDataBufferSize> FSocketBuffer{}; // the client chunk waiting for the port
  int32_t FReadSocket = 0;                           // bytes of that chunk not yet written
  int32_t FSocketWritten = 0;                        // bytes of that chunk already written
  QPointer<TClientConnection> FChunkClient;          // whose chunk it is
  bool FChunkClientClosed = false;                   // it closed before the chunk was written
  std::optional<uint32_t> FStallSince;               // tick of the first write that took nothing
  bool FStallReported = false;

  bool FIdentifying = false;
  int32_t FRequestWritten = 0;
  QByteArray FReply;

  TCOMHandle FCOMHandle = INVALID_HANDLE_VALUE;
  QByteArray FVerInfo;
  bool FSetupConnected = false;
  bool FConnected = false;
  bool FModemConnect = false;
  bool FSuspended = false;
};
