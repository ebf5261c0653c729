// One instance per desktop: a second lock of the same name is refused while
// the first is held, and granted once it is gone.

#include "platform/PrivateTempFolder.h"
#include "platform/SingleInstance.h"

#include <doctest.h>

#include <cstdio>
#include <random>

TEST_CASE("a second instance is refused while the first runs, and may start after it") {
  const std::string folder = PrivateTempFolder(nullptr);
  REQUIRE_FALSE(folder.empty());
  const std::string name = "TandrelTestForm" + std::to_string(std::random_device{}());
  {
    TSingleInstanceLock first;
    REQUIRE(first.Acquire(folder, name, "test") == TSingleInstanceLock::TResult::Acquired);
    TSingleInstanceLock second;
    CHECK(second.Acquire(folder, name, "test") == TSingleInstanceLock::TResult::HeldByAnother);
    TSingleInstanceLock otherProgram;
    CHECK(otherProgram.Acquire(folder, name + "Other", "test") == TSingleInstanceLock::TResult::Acquired);
  }
  TSingleInstanceLock next;
  CHECK(next.Acquire(folder, name, "test") == TSingleInstanceLock::TResult::Acquired);
  // The lock files stay for the program's next start; the test's own go.
  for (const std::string &program : {name, name + "Other"})
    std::remove((folder + "/" + program + "-test.lock").c_str());
}
