#include "core/ClockTimer.h"

#include <algorithm>

TClockTimer::TClockTimer(TClock &clock, QObject *parent) : QObject(parent), FClock(clock) {
  FTimer.setSingleShot(true);
  FTimer.setTimerType(Qt::PreciseTimer);
  connect(&FTimer, &QTimer::timeout, this, &TClockTimer::Check);
}

void TClockTimer::Start(uint32_t ms) {
  FStart = FClock.TickCount();
  FInterval = ms;
  FActive = true;
  FTimer.start(int(FClock.RealMs(ms)));
}

void TClockTimer::Stop() {
  FActive = false;
  FTimer.stop();
}

uint32_t TClockTimer::Remaining() const {
  if (!FActive)
    return 0;
  const uint32_t elapsed = FClock.TickCount() - FStart;
  return elapsed >= FInterval ? 0 : FInterval - elapsed;
}

// The event loop may wake a little early by the clock's count: it sleeps
// again for what is left.
void TClockTimer::Check() {
  if (!FActive)
    return;
  const uint32_t left = Remaining();
  if (left > 0) {
    FTimer.start(int(std::max<uint32_t>(FClock.RealMs(left), 1)));
    return;
  }
  FActive = false;
  emit Timeout();
}
