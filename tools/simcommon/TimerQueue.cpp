#include "TimerQueue.h"

#include <algorithm>

TTimerQueue::TId TTimerQueue::Schedule(long delayMs, std::function<void()> action) {
  const TId id = FNextId++;
  FEntries.emplace(TClock::now() + std::chrono::milliseconds(delayMs), TEntry{id, std::move(action)});
  return id;
}

void TTimerQueue::Cancel(TId id) {
  std::erase_if(FEntries, [id](const auto &entry) { return entry.second.id == id; });
}

void TTimerQueue::RunDue() {
  while (!FEntries.empty() && FEntries.begin()->first <= TClock::now()) {
    auto action = std::move(FEntries.begin()->second.action);
    FEntries.erase(FEntries.begin());
    action();
  }
}

int TTimerQueue::MsUntilNext(int idleMs) const {
  if (FEntries.empty())
    return idleMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(FEntries.begin()->first - TClock::now());
  return static_cast<int>(std::clamp<long>(left.count(), 0, idleMs));
}
