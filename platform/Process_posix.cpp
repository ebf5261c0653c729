#include "platform/Process.h"

#include "platform/PeFile.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// How long the group may take to end after SIGTERM, and after SIGKILL.
constexpr auto KGrace = 2000ms;
constexpr auto KGroupPoll = 10ms;

void SetError(std::string *error, const std::string &text) {
  if (error)
    *error = text;
}

// Spawn attributes: empty signal mask and default dispositions, so the child
// does not inherit what this (multi-threaded, Qt) process blocked or ignored,
// and a process group of its own.
class TSpawnAttributes {
public:
  TSpawnAttributes() {
    posix_spawnattr_init(&FAttr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&FAttr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&FAttr, &all);
    posix_spawnattr_setpgroup(&FAttr, 0);
    posix_spawnattr_setflags(&FAttr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  ~TSpawnAttributes() { posix_spawnattr_destroy(&FAttr); }
  const posix_spawnattr_t *Get() const { return &FAttr; }

private:
  posix_spawnattr_t FAttr;
};

class TSpawnActions {
public:
  explicit TSpawnActions(const std::string &workingFolder) {
    posix_spawn_file_actions_init(&FActions);
    FResult = posix_spawn_file_actions_addchdir_np(&FActions, workingFolder.c_str());
    if (FResult == 0)
      FResult = posix_spawn_file_actions_addclosefrom_np(&FActions, STDERR_FILENO + 1);
  }
  ~TSpawnActions() { posix_spawn_file_actions_destroy(&FActions); }
  int Result() const { return FResult; }
  const posix_spawn_file_actions_t *Get() const { return &FActions; }

private:
  posix_spawn_file_actions_t FActions;
  int FResult;
};

bool IsNumber(const char *text) {
  if (*text == '\0')
    return false;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9')
      return false;
  }
  return true;
}

std::string ReadSmallFile(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return {};
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0 && text.size() < (1u << 20))
    text.append(chunk, static_cast<size_t>(got));
  close(fd);
  return text;
}

// The process group of `pid` when it is a live (not zombie) process, from
// /proc/PID/stat: the state and the process group follow the parenthesised
// name, which may itself hold blanks and parentheses.
std::optional<long> LiveProcessGroup(const char *pid) {
  const std::string stat = ReadSmallFile(std::string("/proc/") + pid + "/stat");
  const size_t nameEnd = stat.rfind(')');
  char state = 0;
  long parent = 0;
  long group = 0;
  if (nameEnd == std::string::npos || std::sscanf(stat.c_str() + nameEnd + 1, " %c %ld %ld", &state, &parent, &group) != 3)
    return std::nullopt;
  if (state == 'Z' || state == 'X')
    return std::nullopt;
  return group;
}

// Calls `visit` with each process id under /proc until it returns true;
// false when /proc cannot be read.
template <typename Visit> bool VisitProcesses(Visit visit) {
  DIR *proc = opendir("/proc");
  if (!proc)
    return false;
  while (const dirent *entry = readdir(proc)) {
    if (IsNumber(entry->d_name) && visit(entry->d_name))
      break;
  }
  closedir(proc);
  return true;
}

// Whether any process of `group` still runs. Without /proc nothing can be
// told, and the group counts as running.
bool GroupHasLiveMember(pid_t group) {
  bool found = false;
  const bool listed = VisitProcesses([&](const char *pid) {
    found = LiveProcessGroup(pid) == group;
    return found;
  });
  return found || !listed;
}

// The leader and its group: a leader that made a group of its own is still
// reached. Safe while the leader is not reaped: neither id can be reused.
void SignalGroup(pid_t leader, int signal) {
  kill(-leader, signal);
  kill(leader, signal);
}

void Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// This process's environment with each of `defaults` (NAME=value) added
// whose NAME it lacks.
std::vector<std::string> EnvironmentWith(const std::vector<std::string> &defaults) {
  std::vector<std::string> entries;
  for (char **entry = environ; *entry; ++entry)
    entries.emplace_back(*entry);
  for (const std::string &value : defaults) {
    const std::string name = value.substr(0, value.find('=') + 1);
    if (std::none_of(entries.begin(), entries.end(), [&](const std::string &e) { return e.starts_with(name); }))
      entries.push_back(value);
  }
  return entries;
}

std::vector<char *> Pointers(std::vector<std::string> &texts) {
  std::vector<char *> pointers;
  for (std::string &text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// `path` as a Windows program under wine names it: on drive Z:, which is /.
std::string WinePathOf(const std::string &path) {
  std::string windows = "z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

bool SameIgnoringCase(const std::string &a, const std::string &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Whether a live process's command line has `path` (or its wine name) as an
// argument.
bool NamesPath(const char *pid, const std::string &path) {
  const std::string cmdline = ReadSmallFile(std::string("/proc/") + pid + "/cmdline");
  for (size_t start = 0; start < cmdline.size();) {
    const size_t end = std::min(cmdline.find('\0', start), cmdline.size());
    const std::string argument = cmdline.substr(start, end - start);
    if (argument == path || SameIgnoringCase(argument, WinePathOf(path)))
      return true;
    start = end + 1;
  }
  return false;
}

std::vector<pid_t> LiveProcessesNaming(const std::string &path) {
  std::vector<pid_t> found;
  const pid_t self = getpid();
  VisitProcesses([&](const char *pid) {
    if (std::atol(pid) != self && LiveProcessGroup(pid) && NamesPath(pid, path))
      found.push_back(static_cast<pid_t>(std::atol(pid)));
    return false;
  });
  return found;
}

// Signals what still names `path` and waits, bounded, until none is left.
bool SignalNamingAndWait(const std::string &path, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + KGrace;
  std::vector<pid_t> left = LiveProcessesNaming(path);
  for (const pid_t pid : left)
    kill(pid, signal);
  while (!left.empty()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(KGroupPoll);
    left = LiveProcessesNaming(path);
  }
  return true;
}

} // namespace

bool NeedsWine(const std::string &path) { return IsWindowsExecutable(path); }

void EndProcessesNaming(const std::string &path) {
  if (!SignalNamingAndWait(path, SIGTERM))
    SignalNamingAndWait(path, SIGKILL);
}

bool TProcess::WaitForEnd() const {
  const auto deadline = std::chrono::steady_clock::now() + KGrace;
  while (!HasEnded(nullptr) || GroupHasLiveMember(FPid)) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(KGroupPoll);
  }
  return true;
}

TProcess::~TProcess() { Stop(); }

bool TProcess::Start(const std::string &program, const std::string &workingFolder, std::string *error,
                     const TInterpreter *through) {
  if (FPid >= 0) {
    SetError(error, "a process is already running");
    return false;
  }
  TSpawnActions actions(workingFolder);
  if (actions.Result() != 0) {
    SetError(error, std::strerror(actions.Result()));
    return false;
  }
  TSpawnAttributes attributes;
  std::vector<std::string> arguments{through ? through->program : program};
  if (through)
    arguments.push_back(program);
  std::vector<std::string> environment = EnvironmentWith(through ? through->defaults : std::vector<std::string>{});
  const std::vector<char *> argv = Pointers(arguments);
  const std::vector<char *> envp = Pointers(environment);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(), envp.data());
  if (result != 0) {
    SetError(error, std::strerror(result));
    return false;
  }
  FPid = pid;
  return true;
}

bool TProcess::HasEnded(TProcessEnd *end) const {
  if (FPid < 0)
    return false;
  siginfo_t info{};
  // WNOWAIT: looked at, not reaped.
  while (waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
    if (errno != EINTR)
      return false;
  }
  if (info.si_pid == 0)
    return false;
  if (end)
    *end = TProcessEnd{info.si_code != CLD_EXITED, info.si_status};
  return true;
}

void TProcess::Stop() {
  if (FPid < 0)
    return;
  SignalGroup(FPid, SIGTERM);
  SignalGroup(FPid, SIGCONT);
  if (!WaitForEnd()) {
    SignalGroup(FPid, SIGKILL);
    WaitForEnd();
  }
  // A process that not even SIGKILL has ended yet (stuck in the kernel on a
  // hung device) is reaped by a thread of its own: the window never waits on
  // it, and it leaves no zombie once it goes.
  if (HasEnded(nullptr))
    Reap(FPid);
  else
    std::thread(Reap, FPid).detach();
  FPid = -1;
}
