#pragma once
// One-shot timers for the simulators' single-threaded poll loop.

#include <chrono>
#include <functional>
#include <map>

class TTimerQueue {
public:
  using TClock = std::chrono::steady_clock;
  using TId = unsigned long;

  // Runs `action` once, `delayMs` from now. Actions due at the same moment run
  // in the order they were scheduled, so delayed writes keep their order.
  TId Schedule(long delayMs, std::function<void()> action);
  void Cancel(TId id);
  // Runs every action that is due, including ones scheduled by them for now.
  void RunDue();
  // Milliseconds until the next action (0 when one is due), or `idleMs`.
  int MsUntilNext(int idleMs) const;

private:
  struct TEntry {
    TId id;
    std::function<void()> action;
  };
  std::multimap<TClock::time_point, TEntry> FEntries;
  TId FNextId = 1;
};
