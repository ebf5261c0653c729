// What the launcher does with a setup program: copy it into the private
// folder, start the copy with no arguments in a given working folder, stop it
// and delete it.

#include "platform/PrivateTempFolder.h"
#include "platform/Process.h"

#include <doctest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

constexpr auto KChildWait = 10s;
constexpr char KSeparator = static_cast<char>(fs::path::preferred_separator);

std::string UniqueName(const std::string &stem) { return stem + "-" + std::to_string(std::random_device{}()); }

std::string FileText(const std::string &path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

template <typename TCondition> bool WaitFor(TCondition condition) {
  const auto deadline = std::chrono::steady_clock::now() + KChildWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The copy and a working folder in the private folder, removed afterwards.
struct TLaunchFolders {
  std::string folder = PrivateTempFolder(nullptr);
  std::string copy = folder + KSeparator + UniqueName("tandrel-test-setup") + ".exe";
  std::string work = folder + KSeparator + UniqueName("tandrel-test-work");

  TLaunchFolders() {
    REQUIRE_FALSE(folder.empty());
    REQUIRE(fs::create_directory(work));
  }
  ~TLaunchFolders() {
    std::error_code ignored;
    fs::remove(copy, ignored);
    fs::remove_all(work, ignored);
  }
  std::string InWork(const char *name) const { return work + KSeparator + name; }
};

} // namespace

TEST_CASE("the private folder is an existing folder without a trailing separator") {
  std::string error;
  const std::string folder = PrivateTempFolder(&error);
  REQUIRE_FALSE(folder.empty());
  CHECK(error.empty());
  CHECK(fs::is_directory(folder));
  CHECK(folder.back() != '/');
  CHECK(folder.back() != '\\');
}

TEST_CASE("a setup program is copied once, started with no arguments in its folder, stopped and deleted") {
  TLaunchFolders folders;
  REQUIRE(CopyFileNoReplace(TANDREL_TEST_CHILD, folders.copy));
  const auto size = fs::file_size(folders.copy);
  CHECK(size == fs::file_size(TANDREL_TEST_CHILD));
  // A copy already in place is kept.
  CHECK_FALSE(CopyFileNoReplace(folders.InWork("nothing"), folders.copy));
  CHECK_FALSE(CopyFileNoReplace(TANDREL_TEST_CHILD, folders.copy));
  CHECK(fs::file_size(folders.copy) == size);

  TProcess process;
  std::string error;
  REQUIRE(process.Start(folders.copy, folders.work, &error));
  CHECK(process.Pid() > 0);
  REQUIRE(WaitFor([&] { return FileText(folders.InWork("child-started")) == "arguments=0\n"; }));
  CHECK_FALSE(process.ReapIfExited());
  CHECK_FALSE(process.Start(folders.copy, folders.work, &error));
  CHECK(error == "a process is already running");

  process.Kill();
  CHECK(process.Pid() == -1);
  CHECK(process.ReapIfExited());
  // Ended for good: its file can go.
  CHECK(fs::remove(folders.copy));
}

TEST_CASE("a setup program that ended by itself is reaped, and killing it then is harmless") {
  TLaunchFolders folders;
  REQUIRE(CopyFileNoReplace(TANDREL_TEST_CHILD, folders.copy));
  TProcess process;
  REQUIRE(process.Start(folders.copy, folders.work, nullptr));
  REQUIRE(WaitFor([&] { return fs::exists(folders.InWork("child-started")); }));
  std::ofstream(folders.InWork("stop")).put('\n');
  CHECK(WaitFor([&] { return process.ReapIfExited(); }));
  CHECK(process.Pid() == -1);
  process.Kill();
  CHECK(process.Start(folders.copy, folders.work, nullptr));
}

TEST_CASE("a program that is not there does not start, and says why") {
  TLaunchFolders folders;
  TProcess process;
  std::string error;
  CHECK_FALSE(process.Start(folders.InWork("missing.exe"), folders.work, &error));
  CHECK_FALSE(error.empty());
  CHECK(process.Pid() == -1);
}
