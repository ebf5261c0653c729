// What the launcher does with a setup program: copy it into the private
// folder, start the copy with no arguments in a given working folder, stop it
// and delete it.

#include "platform/PrivateTempFolder.h"
#include "platform/Process.h"

#include "WaitFor.h"

#include <doctest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr char KSeparator = static_cast<char>(fs::path::preferred_separator);

std::string UniqueName(const std::string &stem) { return stem + "-" + std::to_string(std::random_device{}()); }

std::string FileText(const std::string &path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
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

TEST_CASE("a setup program is copied, started with no arguments in its folder, stopped and deleted") {
  TLaunchFolders folders;
  TPrivateCopy copy;
  std::string error;
  REQUIRE(copy.Make(TANDREL_TEST_CHILD, folders.copy, &error));
  CHECK(copy.Path() == folders.copy);
  CHECK(fs::file_size(folders.copy) == fs::file_size(TANDREL_TEST_CHILD));

  TProcess process;
  REQUIRE(process.Start(folders.copy, folders.work, &error));
  CHECK(process.Pid() > 0);
  REQUIRE(WaitFor([&] { return FileText(folders.InWork("child-started")) == "arguments=0\n"; }));
  CHECK_FALSE(process.HasEnded(nullptr));
  CHECK_FALSE(process.Start(folders.copy, folders.work, &error));
  CHECK(error == "a process is already running");

  process.Stop();
  CHECK(process.Pid() == -1);
  CHECK_FALSE(process.HasEnded(nullptr));
  // Ended for good: its file can go.
  copy.Remove();
  CHECK_FALSE(fs::exists(folders.copy));
  CHECK_FALSE(copy.IsMade());
}

TEST_CASE("a fresh copy replaces what stands at the target, and only the file made is deleted") {
  TLaunchFolders folders;
  std::ofstream(folders.copy) << "left by an earlier run";
  TPrivateCopy copy;
  REQUIRE(copy.Make(TANDREL_TEST_CHILD, folders.copy, nullptr));
  CHECK(fs::file_size(folders.copy) == fs::file_size(TANDREL_TEST_CHILD));
  // No temporary file is left beside it.
  for (const auto &entry : fs::directory_iterator(folders.folder))
    CHECK(entry.path().filename().string().find("tandrel-copy") == std::string::npos);

  // Another file has taken the name since: it is not ours to delete.
  fs::remove(folders.copy);
  std::ofstream(folders.copy) << "someone else's";
  copy.Remove();
  CHECK(FileText(folders.copy) == "someone else's");

  std::string error;
  CHECK_FALSE(copy.Make(folders.InWork("nothing"), folders.copy, &error));
  CHECK_FALSE(error.empty());
  CHECK_FALSE(copy.IsMade());
  CHECK(FileText(folders.copy) == "someone else's");
}

TEST_CASE("a setup program that ended by itself tells how, and stopping it then is harmless") {
  TLaunchFolders folders;
  TPrivateCopy copy;
  REQUIRE(copy.Make(TANDREL_TEST_CHILD, folders.copy, nullptr));
  TProcess process;
  REQUIRE(process.Start(folders.copy, folders.work, nullptr));
  REQUIRE(WaitFor([&] { return fs::exists(folders.InWork("child-started")); }));
  std::ofstream(folders.InWork("stop")).put('\n');
  TProcessEnd end{true, -1};
  CHECK(WaitFor([&] { return process.HasEnded(&end); }));
  CHECK_FALSE(end.bySignal);
  CHECK(end.number == 0);
  CHECK(process.Pid() > 0);
  process.Stop();
  CHECK(process.Pid() == -1);
  CHECK(process.Start(folders.copy, folders.work, nullptr));
  process.Stop();
  copy.Remove();
}

TEST_CASE("a program that is not there does not start, and says why") {
  TLaunchFolders folders;
  TProcess process;
  std::string error;
  CHECK_FALSE(process.Start(folders.InWork("missing.exe"), folders.work, &error));
  CHECK_FALSE(error.empty());
  CHECK(process.Pid() == -1);
}
