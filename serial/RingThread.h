#pragma once
// Worker thread that prepares a GSM modem, waits for network registration and
// places a data call. It reports its log lines, its progress and its end
// through signals, which reach the UI thread queued: the worker never waits
// for that thread, and that thread never waits for the worker.

#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QThread>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// Result codes in ErrorCode(): 0 connected, 1..7 failures (RingErrorMessages), 255 cancelled.
constexpr uint32_t RING_CONNECTED = 0;
constexpr uint32_t RING_CANNOT_OPEN = 1;
constexpr uint32_t RING_NO_MODEM = 2;
constexpr uint32_t RING_NOT_REGISTERED = 3;
constexpr uint32_t RING_BUSY = 4;
constexpr uint32_t RING_NO_CARRIER = 5;
constexpr uint32_t RING_NO_DIALTONE = 6;
constexpr uint32_t RING_NO_ANSWER = 7;
constexpr uint32_t RING_CANCELLED = 255;

// Failure texts for codes 1..7; entry 0 (connected) is empty.
extern const std::array<QString, 8> RingErrorMessages;

// Status texts of the progress stages 1..3 (entry 0 is stage 1).
extern const std::array<QString, 3> RingStageTexts;

// Code of the first modem error word found in `replyText` in any ASCII letter
// case, searched in the order BUSY, NO CARRIER, NO DIALTONE, NO ANSWER; 0 for
// none.
uint32_t ModemErrorCode(const QString &replyText);

// Whether `expected` (upper case) stands in the modem's reply, in any letter
// case, outside the echoes of commands: the echo of "AT+CBST=7,0,1" must not
// pass for the registration's "0,1" when it comes late, behind an earlier
// reply.
bool ReplyHolds(const QString &replyText, const QString &expected);

// What follows "ATD" for `phone`: its blanks dropped; nullopt when it holds
// anything a dial string may not (digits, + * # , W P are allowed), so that no
// line break or further command ever reaches the modem.
std::optional<QByteArray> DialString(const QString &phone);

// Log lines of one text: a single line unless the text holds a CR; then every
// CR, LF or CR LF is a break, and a break at the very end opens no further line.
QStringList SplitLogLines(const QString &text);

struct TRingThreadCreateStruct {
  QString COM;
  int32_t BaudRate = 19200;
  QString Phone;
};

class TRingThread final : public QThread {
  Q_OBJECT

public:
  // Create on the UI thread, connect its signals, then start() it. Its end is
  // QThread's finished(); ErrorCode() and TakeCOM() are for then.
  explicit TRingThread(const TRingThreadCreateStruct &ACreateStruct, TClock &clock = SystemClock());
  // Stops and waits for a worker that still runs (a pause ends at once), and
  // closes the port unless it was taken over.
  ~TRingThread() override;

  uint32_t ErrorCode() const { return FErrCode.load(); }
  void SetErrorCode(uint32_t code) { FErrCode.store(code); }
  TCOMHandle hCOM() const { return FhCOM; }
  // Once finished: hands the port over (the invalid value when none is
  // open); the object no longer closes it.
  TCOMHandle TakeCOM();

  // Also ends the pause the worker is in at once.
  void Terminate() { FStop.Request(); }
  bool Terminated() const { return FStop.Requested(); }

signals:
  // A line of the modem dialogue for the log, made at `at`; the prefix is
  // "<<" for a command, ">>" for a reply, empty for a message.
  void LogLine(const QDateTime &at, const QString &prefix, const QString &text);
  // Stage 1 (initialisation), 2 (registration) or 3 (dialling) has begun.
  void Progress(int stage);

protected:
  void run() override;

private:
  void Execute();
  bool DrainLine();
  void ResetModem();
  bool InitialiseModem(const QByteArray &command);
  bool WaitForRegistration();
  void Dial();
  void Finish(uint32_t code);
  void PostProgress(int stage);
  // Sleeps on the clock unless a stop is requested meanwhile.
  void Pause(uint32_t ms);
  // Worker-side write that never overwrites a cancel.
  void StoreCode(uint32_t code);

  void SendCommand(const QByteArray &command);
  bool WaitForReply(const QString &expected, uint32_t timeoutMs);
  bool WaitForOK(uint32_t timeoutMs) { return WaitForReply(QStringLiteral("OK"), timeoutMs); }
  bool CheckModemError(const QString &replyText);

  void LogText(const QString &text, const QString &prefix = QString());

  TRingThreadCreateStruct FCreateStruct;
  TClock &FClock;
  TCOMHandle FhCOM = INVALID_HANDLE_VALUE;
  std::atomic<uint32_t> FErrCode{RING_CONNECTED};
  TStopSignal FStop;
};
