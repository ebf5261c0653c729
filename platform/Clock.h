#pragma once
// Millisecond tick and sleep behind one small interface, so that the long
// waits of the bridge and the dialer can run in virtual time under test.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// A stop request that wakes a thread pausing on it at once.
class TStopSignal {
public:
  void Request();
  bool Requested() const { return FRequested.load(); }
  // Blocks for up to `realTime`; true once requested.
  bool WaitFor(std::chrono::microseconds realTime) const;

private:
  std::atomic<bool> FRequested{false};
  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
};

class TClock {
public:
  virtual ~TClock() = default;
  // 32-bit millisecond tick from a monotonic clock; wraps at 2^32.
  virtual uint32_t TickCount() = 0;
  // 32-bit microsecond tick of the same clock; wraps about every 71 minutes.
  // Clocks that count whole milliseconds only give those.
  virtual uint32_t MicroTickCount() { return TickCount() * 1000u; }
  virtual void Sleep(uint32_t ms) = 0;
  // Sleep that ends as soon as `stop` is requested; true when it was.
  virtual bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) = 0;
  // Real milliseconds that pass while `ms` pass on this clock (for waits that
  // block in an event loop rather than in Sleep).
  virtual uint32_t RealMs(uint32_t ms) { return ms; }
};

// The process-wide real clock.
TClock &SystemClock();

// Runs `speedup` times faster than real time: a 45 s wait takes 45/speedup s.
// Safe to use from several threads at once.
class TScaledClock : public TClock {
public:
  TScaledClock(uint32_t speedup, uint32_t startTick = 0);
  uint32_t TickCount() override;
  uint32_t MicroTickCount() override;
  void Sleep(uint32_t ms) override;
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override;
  uint32_t RealMs(uint32_t ms) override;

private:
  uint32_t FSpeedup;
  uint32_t FStartTick;
  int64_t FOriginNs;
};

// Time moves only when Sleep is called. Actions scheduled for a tick run inside
// the Sleep that reaches it, in the sleeping thread. A stop already requested
// ends a sleep before any time passes.
class TManualClock : public TClock {
public:
  explicit TManualClock(uint32_t startTick = 0) : FNow(startTick) {}
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override;
  uint32_t RealMs(uint32_t) override { return 0; }
  void At(uint32_t elapsedFromStart, std::function<void()> action);

private:
  struct TAction {
    uint64_t due;
    std::function<void()> action;
  };
  std::mutex FLock;
  uint64_t FElapsed = 0;
  uint32_t FNow;
  std::vector<TAction> FActions;
};
