#include "SlowedClock.h"

#include <thread>

TSlowedClock::TSlowedClock(uint32_t slowdown) : FSlowdown(slowdown == 0 ? 1 : slowdown) {}

uint32_t TSlowedClock::TickCount() {
  const auto elapsed = std::chrono::steady_clock::now() - FOrigin;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / FSlowdown);
}

void TSlowedClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(RealMs(ms))); }

bool TSlowedClock::SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) {
  return stop.WaitFor(std::chrono::milliseconds(RealMs(ms)));
}
