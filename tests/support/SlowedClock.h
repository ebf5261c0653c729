#pragma once
// A clock that runs `slowdown` times slower than real time, so that a test
// can tell on the clock what happens within one pass of the relay from what
// waits for the next, with seconds of real time in between.

#include "platform/Clock.h"

class TSlowedClock : public TClock {
public:
  explicit TSlowedClock(uint32_t slowdown);
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override;
  uint32_t RealMs(uint32_t ms) override { return ms * FSlowdown; }

private:
  uint32_t FSlowdown;
  std::chrono::steady_clock::time_point FOrigin = std::chrono::steady_clock::now();
};
