#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace {

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class TSystemClock : public TClock {
public:
  uint32_t TickCount() override { return static_cast<uint32_t>(MonotonicNs() / 1000000); }
  uint32_t MicroTickCount() override { return static_cast<uint32_t>(MonotonicNs() / 1000); }
  void Sleep(uint32_t ms) override {
    if (ms == 0)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override {
    return stop.WaitFor(std::chrono::milliseconds(ms));
  }
};

} // namespace

void TStopSignal::Request() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FRequested.store(true);
  }
  FChanged.notify_all();
}

bool TStopSignal::WaitFor(std::chrono::microseconds realTime) const {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, realTime, [this] { return FRequested.load(); });
}

TClock &SystemClock() {
  static TSystemClock clock;
  return clock;
}

TScaledClock::TScaledClock(uint32_t speedup, uint32_t startTick)
    : FSpeedup(speedup == 0 ? 1 : speedup), FStartTick(startTick), FOriginNs(MonotonicNs()) {}

uint32_t TScaledClock::TickCount() {
  const int64_t elapsedMs = (MonotonicNs() - FOriginNs) * FSpeedup / 1000000;
  return FStartTick + static_cast<uint32_t>(elapsedMs);
}

uint32_t TScaledClock::MicroTickCount() {
  const int64_t elapsedUs = (MonotonicNs() - FOriginNs) * FSpeedup / 1000;
  return FStartTick * 1000u + static_cast<uint32_t>(elapsedUs);
}

void TScaledClock::Sleep(uint32_t ms) {
  const uint32_t until = TickCount() + ms;
  // Sleep in real time, then make sure the virtual deadline has passed.
  std::this_thread::sleep_for(std::chrono::microseconds(int64_t(ms) * 1000 / FSpeedup));
  while (static_cast<int32_t>(TickCount() - until) < 0)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

bool TScaledClock::SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) {
  const uint32_t until = TickCount() + ms;
  if (stop.WaitFor(std::chrono::microseconds(int64_t(ms) * 1000 / FSpeedup)))
    return true;
  while (static_cast<int32_t>(TickCount() - until) < 0) {
    if (stop.Requested())
      return true;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return stop.Requested();
}

uint32_t TScaledClock::RealMs(uint32_t ms) { return ms == 0 ? 0 : (ms + FSpeedup - 1) / FSpeedup; }

uint32_t TManualClock::TickCount() {
  std::lock_guard<std::mutex> guard(FLock);
  return FNow;
}

void TManualClock::Sleep(uint32_t ms) {
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FElapsed += ms;
    FNow += ms;
    for (auto it = FActions.begin(); it != FActions.end();) {
      if (it->due <= FElapsed) {
        due.push_back(std::move(it->action));
        it = FActions.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &action : due)
    action();
  std::this_thread::yield();
}

bool TManualClock::SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) {
  if (stop.Requested())
    return true;
  Sleep(ms);
  return stop.Requested();
}

void TManualClock::At(uint32_t elapsedFromStart, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(FLock);
  FActions.push_back({elapsedFromStart, std::move(action)});
}
