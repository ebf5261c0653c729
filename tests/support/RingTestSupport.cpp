#include "RingTestSupport.h"

#include "LogEntries.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <thread>

#include <fcntl.h>

namespace {

// Generous real-time bound for one whole dial in virtual time.
constexpr int kDialBoundMs = 60000;

} // namespace

void TSleepClock::Sleep(uint32_t ms) {
  if (beforeSleep)
    beforeSleep(ms);
  std::this_thread::sleep_for(BeginSleep(ms));
  FHolding = false;
  FNow += ms;
}

bool TSleepClock::SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) {
  if (beforeSleep)
    beforeSleep(ms);
  const bool stopped = stop.WaitFor(BeginSleep(ms));
  FHolding = false;
  if (!stopped)
    FNow += ms;
  return stopped;
}

std::chrono::microseconds TSleepClock::BeginSleep(uint32_t ms) {
  if (ms == FHoldMs && !FHeld) {
    FHeld = true;
    FHolding = true;
    return HoldBound;
  }
  return std::chrono::microseconds(int64_t(ms) * 1000 / FSpeedup);
}

TRingDial::~TRingDial() {
  if (FDialer)
    DeleteDialer();
  CloseCOM(takenCOM);
}

void TRingDial::Start(const QString &port, const QString &phone) {
  FDialer = new TRingThread(TRingThreadCreateStruct{port, 19200, phone}, clock);
  QObject::connect(FDialer, &TRingThread::LogLine, &log, &TLogModel::AppendDialerLine);
  QObject::connect(FDialer, &TRingThread::Progress, &FContext, [this](int stage) { stages.append(stage); });
  QObject::connect(FDialer, &QThread::finished, &FContext, [this, dialer = FDialer.data()] { Finished(dialer); });
  // As the line reaches the UI thread, before the log's views are told of it.
  QObject::connect(FDialer, &TRingThread::LogLine, &FContext,
                   [this](const QDateTime &, const QString &prefix, const QString &text) {
                     const bool due = !FCancelFragment.isEmpty() && (prefix + u' ' + text).contains(FCancelFragment);
                     if (due && !FCancelRequested)
                       RequestCancel(FDialer);
                   });
  FDialer->start();
}

void TRingDial::Finished(TRingThread *dialer) {
  ++handlerCalls;
  handlerCode = dialer->ErrorCode();
  handlerOnUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
  handlerCOM = dialer->hCOM();
  if (takeCOM)
    takenCOM = dialer->TakeCOM();
}

bool TRingDial::ServeUntil(const std::function<bool()> &done) {
  const QDeadlineTimer deadline(kDialBoundMs);
  QTimer wake; // lets the wait below see the deadline
  wake.start(50);
  while (!done() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

bool TRingDial::WaitForHandler() {
  return ServeUntil([this] { return handlerCalls > 0; });
}

bool TRingDial::WaitForEnd() {
  if (!WaitForHandler())
    return false;
  DeleteDialer();
  return true;
}

bool TRingDial::Cancel() {
  RequestCancel(FDialer);
  return WaitForEnd();
}

void TRingDial::CancelAtLogLine(const QString &fragment) { FCancelFragment = fragment; }

void TRingDial::CancelAtSleep(uint32_t ms) {
  clock.beforeSleep = [this, ms](uint32_t sleepMs) {
    // Runs on the worker, possibly before Start has stored the dialer.
    if (sleepMs == ms && !FCancelRequested)
      RequestCancel(qobject_cast<TRingThread *>(QThread::currentThread()));
  };
}

void TRingDial::RequestCancel(TRingThread *dialer) {
  FCancelRequested = true;
  dialer->SetErrorCode(RING_CANCELLED);
  dialer->Terminate();
}

bool TRingDial::ServeUntilCancelRequested() {
  return ServeUntil([this] { return FCancelRequested || handlerCalls > 0; }) && FCancelRequested;
}

bool TRingDial::ServeUntilHeld() {
  return ServeUntil([this] { return clock.Holding() || handlerCalls > 0; }) && clock.Holding();
}

QStringList TRingDial::LogTails() const { return EntriesAfterStamps(log.Entries()); }

void TRingDial::DeleteDialer() {
  delete FDialer;
  FDialer = nullptr;
}

bool IsOpenHandle(TCOMHandle handle) { return handle >= 0 && fcntl(handle, F_GETFD) != -1; }
