#pragma once
// Worker thread that prepares a GSM modem, waits for network registration and
// places a data call. It reaches the UI thread through synchronous calls (log
// lines, the termination notification) and posted progress events.

#include "platform/Clock.h"
#include "serial/COMUtils.h"

#include <QEvent>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

class QListWidget;
class TRingThread;

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

// What follows "ATD" for `phone`: its blanks dropped; nullopt when it holds
// anything a dial string may not (digits, + * # , W P are allowed), so that no
// line break or further command ever reaches the modem.
std::optional<QByteArray> DialString(const QString &phone);

// Log lines of one text: a single line unless the text holds a CR; then every
// CR, LF or CR LF is a break, and a break at the very end opens no further line.
QStringList SplitLogLines(const QString &text);

// Progress stage (1 initialisation, 2 registration, 3 dialling), posted to Owner.
constexpr int WM_RINGPROGRESS = 1029;

class TRingProgressEvent : public QEvent {
public:
  static constexpr QEvent::Type EventType = QEvent::Type(WM_RINGPROGRESS);
  explicit TRingProgressEvent(int stage) : QEvent(EventType), FStage(stage) {}
  int Stage() const { return FStage; }

private:
  int FStage;
};

struct TRingThreadCreateStruct {
  QString COM;
  int32_t BaudRate = 19200;
  QString Phone;
  QListWidget *LogObject = nullptr;
  std::function<void(TRingThread *)> TerminateHandler;
  QObject *Owner = nullptr;
};

class TRingThread final : public QThread {
  Q_OBJECT

public:
  // Create on the UI thread; the dial starts at once.
  explicit TRingThread(const TRingThreadCreateStruct &ACreateStruct, TClock &clock = SystemClock());
  // Never notifies; stops and waits for a worker that still runs, and closes
  // the port unless the termination handler took it over.
  ~TRingThread() override;

  uint32_t ErrorCode() const { return FErrCode.load(); }
  void SetErrorCode(uint32_t code) { FErrCode.store(code); }
  TCOMHandle hCOM() const { return FhCOM; }
  // For the termination handler: hands the open port over; the object no
  // longer closes it.
  TCOMHandle TakeCOM();

  // Also ends the pause the worker is in at once.
  void Terminate() { FStop.Request(); }
  bool Terminated() const { return FStop.Requested(); }

  // UI thread only. Serves the worker's pending synchronous calls until the
  // worker has finished, then joins it. Returns false without waiting when
  // called from inside one of those calls (the worker waits for it to return).
  // An error thrown by a call comes out here, the worker released; call
  // again to go on waiting.
  bool WaitFor();
  // Deletes the object once the thread has finished, that is after its
  // termination notification has returned; safe when already finished.
  void ReleaseWhenFinished();

protected:
  void run() override;

private:
  enum class TSyncState { Idle, Posted, Running };

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
  void AppendLogLine();

  void Synchronize(const std::function<void()> &call);
  void ServePostedCall();
  void RunPostedCall(std::unique_lock<std::mutex> &lock);

  TRingThreadCreateStruct FCreateStruct;
  TClock &FClock;
  TCOMHandle FhCOM = INVALID_HANDLE_VALUE;
  std::atomic<uint32_t> FErrCode{RING_CONNECTED};
  TStopSignal FStop;
  QString FLogLine;
  QPointer<QListWidget> FLogList;

  std::mutex FSyncLock;
  std::condition_variable FSyncChanged;
  const std::function<void()> *FSyncCall = nullptr;
  TSyncState FSyncState = TSyncState::Idle;
  bool FWorkerDone = false;
};
