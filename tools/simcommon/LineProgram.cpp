#include "LineProgram.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs in the child after fork until exec; the simulator has one thread.
[[noreturn]] void ExecProgram(const std::vector<std::string> &argv, const std::string &folder, int fd) {
  std::vector<char *> args;
  for (const std::string &argument : argv)
    args.push_back(const_cast<char *>(argument.c_str()));
  args.push_back(nullptr);
  dup2(fd, STDIN_FILENO);
  dup2(fd, STDOUT_FILENO);
  std::signal(SIGPIPE, SIG_DFL); // ignored by the simulator, and that would survive exec
  if (chdir(folder.c_str()) == 0)
    execvp(args[0], args.data());
  _exit(127);
}

// Reaps the child if it ends within `ms`.
bool Reaped(pid_t pid, int ms, int *status) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (waitpid(pid, status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace

void TLineProgram::Start(const std::vector<std::string> &argv, const std::string &folder) {
  Stop(0);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  const pid_t pid = fork();
  if (pid == 0)
    ExecProgram(argv, folder, pair[1]);
  close(pair[1]);
  if (pid < 0) {
    close(pair[0]);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  FPid = pid;
  FFd = pair[0];
  FExitCode.reset();
}

size_t TLineProgram::Write(std::string_view bytes) {
  if (FFd < 0 || bytes.empty())
    return bytes.size();
  const ssize_t put = send(FFd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  return put < 0 ? bytes.size() : bytes.size() - static_cast<size_t>(put);
}

bool TLineProgram::Read(std::string &out) {
  if (FFd < 0)
    return false;
  char buffer[4096];
  const ssize_t got = recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got > 0)
    out.append(buffer, static_cast<size_t>(got));
  return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

void TLineProgram::Stop(int graceMs) {
  if (FFd >= 0)
    close(FFd);
  FFd = -1;
  if (FPid <= 0)
    return;
  int status = -1;
  if (!Reaped(FPid, graceMs, &status)) {
    kill(FPid, SIGTERM);
    if (!Reaped(FPid, 1000, &status)) {
      kill(FPid, SIGKILL);
      waitpid(FPid, &status, 0);
    }
  }
  FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  FPid = -1;
}
