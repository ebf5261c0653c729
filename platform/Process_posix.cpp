#include "platform/Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

// Whether the process `pid` is a live (not zombie) member of `group`, from
// /proc/PID/stat: the state and the process group follow the parenthesised
// name, which may itself hold blanks and parentheses.
bool IsLiveMember(const char *pid, pid_t group) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char stat[1024];
  const ssize_t got = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (got <= 0)
    return false;
  stat[got] = '\0';
  const char *nameEnd = std::strrchr(stat, ')');
  char state = 0;
  long parent = 0;
  long memberGroup = 0;
  if (!nameEnd || std::sscanf(nameEnd + 1, " %c %ld %ld", &state, &parent, &memberGroup) != 3)
    return false;
  return memberGroup == group && state != 'Z' && state != 'X';
}

// Whether any process of `group` still runs. Without /proc nothing can be
// told, and the group counts as running.
bool GroupHasLiveMember(pid_t group) {
  DIR *proc = opendir("/proc");
  if (!proc)
    return true;
  bool found = false;
  while (const dirent *entry = readdir(proc)) {
    if (IsNumber(entry->d_name) && IsLiveMember(entry->d_name, group)) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
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

} // namespace

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

bool TProcess::Start(const std::string &program, const std::string &workingFolder, std::string *error) {
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
  std::string argv0 = program;
  char *argv[] = {argv0.data(), nullptr};
  pid_t pid = -1;
  const int result = posix_spawn(&pid, program.c_str(), actions.Get(), attributes.Get(), argv, environ);
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
