#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void SetError(std::string *error, const std::string &text) {
  if (error)
    *error = text;
}

// Spawn attributes: empty signal mask and default dispositions, so the child
// does not inherit what this (multi-threaded, Qt) process blocked or ignored.
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
    posix_spawnattr_setflags(&FAttr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
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

} // namespace

TProcess::~TProcess() { Kill(); }

bool TProcess::Start(const std::string &program, const std::string &workingFolder,
                     std::string *error) {
  if (!ReapIfExited()) {
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
    SetError(error, program + ": " + std::strerror(result));
    return false;
  }
  FPid = pid;
  return true;
}

bool TProcess::ReapIfExited() {
  if (FPid < 0)
    return true;
  int status = 0;
  pid_t result;
  do
    result = waitpid(FPid, &status, WNOHANG);
  while (result < 0 && errno == EINTR);
  if (result == 0)
    return false;
  // Reaped now, or (ECHILD) by someone else: either way the PID is no longer ours.
  FPid = -1;
  return true;
}

void TProcess::Kill() {
  if (ReapIfExited())
    return;
  // Still unreaped, so the PID cannot have been reused yet.
  kill(FPid, SIGKILL);
  int status = 0;
  while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
  }
  FPid = -1;
}
