#include "core/ClockTimer.h"

#include <algorithm>

TClockTimer::TClockTimer(TClock &clock, QObject *parent) : QObject(parent), FClock(clock) {
  FTimer.setSingleShot(true);
  FTimer.setTimerType(Qt::PreciseTimer);
  connect(&FTimer, &QTimer::timeout, this, &TClockTimer::Check);
}

void TClockTimer::Start(uint32_t ms) { StartUs(ms * 1000u); }

void TClockTimer::StartUs(uint32_t us) {
  FStartUs = FClock.MicroTickCount();
  FIntervalUs = us;
  FActive = true;
  Sleep(us);
}

void TClockTimer::Stop() {
  FActive = false;
  FTimer.stop();
}

uint32_t TClockTimer::RemainingUs() const {
  const uint32_t elapsed = FClock.MicroTickCount() - FStartUs;
  return elapsed >= FIntervalUs ? 0 : FIntervalUs - elapsed;
}

// The event loop counts whole milliseconds: rounding up never wakes early.
void TClockTimer::Sleep(uint32_t us) {
  const uint32_t ms = us / 1000 + (us % 1000 != 0 ? 1 : 0);
  FTimer.start(int(FClock.RealMs(ms)));
}

// The event loop may wake a little early by the clock's count: it sleeps
// again for what is left.
void TClockTimer::Check() {
  if (!FActive)
    return;
  if (const uint32_t left = RemainingUs(); left > 0) {
    Sleep(std::max<uint32_t>(left, 1));
    return;
  }
  FActive = false;
  emit Timeout();
}
