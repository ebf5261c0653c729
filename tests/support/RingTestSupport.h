#pragma once
// One modem dial in virtual time, its lines in a log, its progress recorded,
// and an end handler that records the result and takes the port over the way
// the session does.

#include "core/LogModel.h"
#include "serial/RingThread.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>

// Virtual time that moves only by the sleeps of the one thread using it; each
// sleep takes 1/speedup of its length in real time. A slow machine thus
// stretches the waits in real time instead of running them out early. A sleep
// ended by a stop request lets no time pass.
class TSleepClock : public TClock {
public:
  // How long a held sleep lasts in real time unless its stop ends it.
  static constexpr std::chrono::seconds HoldBound{10};

  explicit TSleepClock(uint32_t speedup) : FSpeedup(speedup) {}
  uint32_t TickCount() override { return FNow.load(); }
  void Sleep(uint32_t ms) override;
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override;

  // Runs on the sleeping thread before each sleep; set before the dialer starts.
  std::function<void(uint32_t ms)> beforeSleep;
  // The first sleep of `ms` lasts HoldBound instead, as a pause of the dialer
  // that only a stop can shorten; set before the dialer starts.
  void HoldFirstSleepOf(uint32_t ms) { FHoldMs = ms; }
  bool Holding() const { return FHolding.load(); }

private:
  // Starts a sleep of `ms`: how long it lasts in real time (the held one
  // HoldBound).
  std::chrono::microseconds BeginSleep(uint32_t ms);

  uint32_t FSpeedup;
  std::atomic<uint32_t> FNow{0};
  uint32_t FHoldMs = 0;
  std::atomic<bool> FHolding{false};
  bool FHeld = false;
};

class TRingDial {
public:
  // Virtual time runs this many times faster than real time.
  static constexpr uint32_t Speedup = 100;

  TRingDial() = default;
  // Finishes and deletes a dialer that is left, then closes the taken port.
  ~TRingDial();
  TRingDial(const TRingDial &) = delete;
  TRingDial &operator=(const TRingDial &) = delete;

  void Start(const QString &port, const QString &phone = QStringLiteral("89001234567"));
  TRingThread *Dialer() const { return FDialer; }
  // Deletes the dialer at once, wherever it is.
  void DeleteDialer();

  // Serves the UI thread until the end handler has run.
  bool WaitForHandler();
  // The normal end: the handler has run; delete the dialer.
  bool WaitForEnd();
  // The session's cancel: code 255 and the stop request; then the end as
  // WaitForEnd.
  bool Cancel();
  // Request the cancel (code 255 and the stop) on the UI thread when the
  // first log line holding `fragment` is added, or on the worker when it
  // starts its first sleep of `ms`. Set before Start.
  void CancelAtLogLine(const QString &fragment);
  void CancelAtSleep(uint32_t ms);
  // Serves the UI thread until the cancel has been requested (false when the
  // dial ended first or the time ran out).
  bool ServeUntilCancelRequested();
  // Serves the UI thread until the dialer is in the clock's held sleep (false
  // when the dial ended first or the time ran out).
  bool ServeUntilHeld();

  // The log lines after their time stamp: "<< AT", ">> OK", " Порт успешно открыт".
  QStringList LogTails() const;
  int Count(const QString &tail) const { return int(LogTails().count(tail)); }

  TLogModel log;
  // The progress stages as they arrived.
  QList<int> stages;
  // When false the handler leaves the port to the dialer object.
  bool takeCOM = true;

  TSleepClock clock{Speedup};

  int handlerCalls = 0;
  uint32_t handlerCode = 0;
  bool handlerOnUiThread = false;
  TCOMHandle handlerCOM = INVALID_HANDLE_VALUE; // hCOM() as the handler saw it
  TCOMHandle takenCOM = INVALID_HANDLE_VALUE;

private:
  void Finished(TRingThread *dialer);
  void RequestCancel(TRingThread *dialer);
  // Sleeps in the event loop, waking for each event, until `done` or time-out.
  static bool ServeUntil(const std::function<bool()> &done);

  QPointer<TRingThread> FDialer;
  // Receives the dialer's signals on the UI thread.
  QObject FContext;
  QString FCancelFragment;
  std::atomic<bool> FCancelRequested{false};
};

// True while `handle` is an open descriptor of this process.
bool IsOpenHandle(TCOMHandle handle);
