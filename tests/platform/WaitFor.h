#pragma once
// Waiting for what a child process of a test does, bounded so that a broken
// test ends.

#include <chrono>
#include <thread>

// True once `condition` holds, false when it still does not after 10 s.
template <typename TCondition> bool WaitFor(TCondition condition) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}
