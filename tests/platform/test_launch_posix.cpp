// Stopping a setup program that was started through a wrapper script: the
// whole process group ends, also a member that ignores SIGTERM; and how a
// program that ended by itself is told.

#include "platform/PrivateTempFolder.h"
#include "platform/Process.h"

#include "WaitFor.h"

#include <doctest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string ReadText(const std::string &path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// State letter and process group of a process, from /proc; 0 when it is gone.
char StateOf(long pid, long *group = nullptr) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t nameEnd = stat.rfind(')');
  char state = 0;
  long parent = 0;
  long memberGroup = 0;
  if (nameEnd == std::string::npos ||
      std::sscanf(stat.c_str() + nameEnd + 1, " %c %ld %ld", &state, &parent, &memberGroup) != 3)
    return 0;
  if (group)
    *group = memberGroup;
  return state;
}

// Gone, or a zombie that only waits for whoever inherited it.
bool HasEnded(long pid) {
  const char state = StateOf(pid);
  return state == 0 || state == 'Z' || state == 'X';
}

// A shell script in its own private folder, and the folder it runs in.
struct TWrapper {
  fs::path folder = fs::path(PrivateTempFolder(nullptr)) / ("tandrel-test-wrapper-" + std::to_string(std::random_device{}()));
  std::string script = (folder / "wrapper.exe").string();
  std::string work = (folder / "work").string();

  explicit TWrapper(const std::string &body) {
    REQUIRE(fs::create_directories(work));
    std::ofstream(script) << "#!/bin/sh\n" << body;
    fs::permissions(script, fs::perms::owner_all);
  }
  ~TWrapper() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  std::string InWork(const char *name) const { return work + "/" + name; }
  // The PID the script noted in its working folder, once it is there.
  long NotedPid() const {
    long pid = -1;
    WaitFor([&] { return std::sscanf(ReadText(InWork("grandchild")).c_str(), "%ld", &pid) == 1; });
    return pid;
  }
};

} // namespace

TEST_CASE("stopping a wrapper ends what it started, in its own process group") {
  struct TCase {
    const char *name;
    std::string body;
  };
  // Starts the program in the background and notes its PID whole.
  const std::string start = std::string(TANDREL_TEST_CHILD) + " &\necho $! > noted; mv noted grandchild\n";
  const TCase cases[] = {
      {"the wrapper waits for the program", start + "wait\n"},
      // Ignored signals are inherited: only SIGKILL ends these two.
      {"both ignore SIGTERM", "trap '' TERM\n" + start + "wait\n"},
      {"the wrapper has ended already", "(\n" + start + ")\n"},
  };
  for (const TCase &test : cases) {
    CAPTURE(test.name);
    TWrapper wrapper(test.body);
    TProcess process;
    std::string error;
    REQUIRE(process.Start(wrapper.script, wrapper.work, &error));
    const long grandchild = wrapper.NotedPid();
    REQUIRE(grandchild > 0);
    REQUIRE(WaitFor([&] { return std::filesystem::exists(wrapper.InWork("child-started")); }));
    long group = 0;
    CHECK(StateOf(grandchild, &group) != 0);
    CHECK(group == process.Pid());
    CHECK(getpgid(0) != process.Pid());

    process.Stop();
    CHECK(process.Pid() == -1);
    CHECK(WaitFor([&] { return HasEnded(grandchild); }));
    if (!HasEnded(grandchild))
      kill(static_cast<pid_t>(grandchild), SIGKILL);
  }
}

TEST_CASE("a program that ended by itself tells its exit code or signal") {
  struct TCase {
    const char *body;
    bool bySignal;
    int number;
  };
  const TCase cases[] = {{"exit 3\n", false, 3}, {"exit 0\n", false, 0}, {"kill -KILL $$\n", true, SIGKILL}};
  for (const TCase &test : cases) {
    CAPTURE(test.body);
    TWrapper wrapper(test.body);
    TProcess process;
    REQUIRE(process.Start(wrapper.script, wrapper.work, nullptr));
    TProcessEnd end{};
    REQUIRE(WaitFor([&] { return process.HasEnded(&end); }));
    CHECK(end.bySignal == test.bySignal);
    CHECK(end.number == test.number);
    // Told again until stopped, and not reaped before: the PID stays ours.
    CHECK(process.HasEnded(nullptr));
    CHECK(StateOf(process.Pid()) == 'Z');
    const pid_t pid = process.Pid();
    process.Stop();
    CHECK(StateOf(pid) == 0);
  }
}
