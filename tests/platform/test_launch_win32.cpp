// Stopping a setup program that was started through a batch file ends what
// the batch file started as well: both run in the program's job.

#include "platform/PrivateTempFolder.h"
#include "platform/Process.h"

#include "WaitFor.h"

#include <doctest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

TEST_CASE("stopping a batch file ends the program it started") {
  const fs::path folder =
      fs::path(PrivateTempFolder(nullptr)) / ("tandrel-test-job-" + std::to_string(std::random_device{}()));
  REQUIRE(fs::create_directories(folder));
  // A running program's file cannot be deleted: that tells whether it still runs.
  const fs::path program = folder / "program.exe";
  fs::copy_file(TANDREL_TEST_CHILD, program);
  const fs::path batch = folder / "wrapper.bat";
  std::ofstream(batch) << "@start \"\" /b \"" << program.string() << "\"\r\n";

  TProcess process;
  std::string error;
  REQUIRE(process.Start(batch.string(), folder.string(), &error));
  REQUIRE(WaitFor([&] { return fs::exists(folder / "child-started"); }));
  std::error_code inUse;
  CHECK_FALSE(fs::remove(program, inUse));

  process.Stop();
  CHECK(WaitFor([&] { return fs::remove(program, inUse); }));
  std::ofstream(folder / "stop").put('\n');
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}
