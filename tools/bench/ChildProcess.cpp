#include "ChildProcess.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> ArgvOf(const std::vector<std::string> &argv) {
  std::vector<char *> pointers;
  for (const std::string &argument : argv)
    pointers.push_back(const_cast<char *>(argument.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

struct TChildFds {
  int output = -1; // stdout, and stderr unless `errors` is given
  int errors = -1;
  int pipeWrite = -1;
  int input = -1; // /dev/null when not given
};

// Runs in the child after fork (the benchmark has one thread) until exec.
[[noreturn]] void ExecChild(const std::vector<char *> &argv, const std::vector<char *> &extra, TChildFds fds) {
  const int nullFd = open("/dev/null", O_RDWR);
  const int output = fds.output >= 0 ? fds.output : nullFd;
  dup2(fds.input >= 0 ? fds.input : nullFd, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(fds.errors >= 0 ? fds.errors : output, STDERR_FILENO);
  if (fds.pipeWrite == 3)
    fcntl(3, F_SETFD, 0); // dup2 onto itself would keep close-on-exec
  else if (fds.pipeWrite >= 0)
    dup2(fds.pipeWrite, 3);
  for (char *entry : extra)
    if (entry)
      putenv(entry);
  execvp(argv[0], argv.data());
  _exit(127);
}

pid_t Spawn(const std::vector<std::string> &argv, const TEnvironment &extra, TChildFds fds) {
  const std::vector<char *> args = ArgvOf(argv);
  const std::vector<char *> env = ArgvOf(extra);
  const pid_t pid = fork();
  if (pid == 0)
    ExecChild(args, env, fds);
  return pid;
}

bool WaitForExit(pid_t pid, int timeoutMs, int *status) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (waitpid(pid, status, WNOHANG) == 0) {
    if (Clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

} // namespace

bool TChildProcess::Start(const std::vector<std::string> &argv, const TEnvironment &extra,
                          const std::string &outputPath, int *pipeFd) {
  Stop();
  const int outputFd =
      outputPath.empty() ? -1 : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int pipeEnds[2] = {-1, -1};
  if (pipeFd && pipe2(pipeEnds, O_CLOEXEC) != 0)
    return false;
  FPid = Spawn(argv, extra, TChildFds{outputFd, -1, pipeEnds[1]});
  if (outputFd >= 0)
    close(outputFd);
  if (pipeEnds[1] >= 0)
    close(pipeEnds[1]);
  if (pipeFd)
    *pipeFd = pipeEnds[0];
  return FPid > 0;
}

bool TChildProcess::StartOn(const std::vector<std::string> &argv, int fd, const std::string &errorPath) {
  Stop();
  const int errorFd = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (errorFd < 0)
    return false; // its messages would otherwise go down the line
  FPid = Spawn(argv, {}, TChildFds{fd, errorFd, -1, fd});
  close(errorFd);
  return FPid > 0;
}

std::optional<int> TChildProcess::Wait(int timeoutMs) {
  int status = 0;
  if (FPid <= 0 || !WaitForExit(FPid, timeoutMs, &status))
    return std::nullopt;
  FPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TChildProcess::IsRunning() {
  if (FPid <= 0)
    return false;
  int status = 0;
  if (waitpid(FPid, &status, WNOHANG) == 0)
    return true;
  FPid = -1;
  return false;
}

void TChildProcess::Stop(int graceMs) {
  if (!IsRunning())
    return;
  int status = 0;
  kill(FPid, SIGTERM);
  if (!WaitForExit(FPid, graceMs, &status)) {
    kill(FPid, SIGKILL);
    waitpid(FPid, &status, 0);
  }
  FPid = -1;
}

int RunCommand(const std::vector<std::string> &argv, const TEnvironment &extra, std::string *output, int timeoutMs) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0)
    return -1;
  const int nullFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = Spawn(argv, extra, TChildFds{pipeEnds[1], nullFd, -1});
  close(nullFd);
  close(pipeEnds[1]);
  if (pid <= 0) {
    close(pipeEnds[0]);
    return -1;
  }
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd poller{pipeEnds[0], POLLIN, 0};
    if (left <= 0 || poll(&poller, 1, static_cast<int>(left)) <= 0)
      break;
    const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
    if (got <= 0)
      break;
    if (output)
      output->append(buffer, static_cast<size_t>(got));
  }
  close(pipeEnds[0]);
  int status = 0;
  if (!WaitForExit(pid, 1000, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
