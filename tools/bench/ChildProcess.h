#pragma once
// Processes the benchmark starts: every one is ended by its own PID and reaped.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

using TEnvironment = std::vector<std::string>; // "NAME=value" entries added to ours

class TChildProcess {
public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess &) = delete;
  TChildProcess &operator=(const TChildProcess &) = delete;

  // Starts argv[0] with our environment plus `extra`; its output goes to
  // `outputPath` (or nowhere when empty). With `pipeFd`, the child's fd 3 is
  // the write end of a pipe whose read end is returned there.
  bool Start(const std::vector<std::string> &argv, const TEnvironment &extra, const std::string &outputPath,
             int *pipeFd = nullptr);
  // Starts argv[0] talking on `fd` (its standard input and output, as a
  // program run over a serial line), its standard error to `errorPath`.
  bool StartOn(const std::vector<std::string> &argv, int fd, const std::string &errorPath);
  // Its exit code once it has ended (-1 when a signal ended it); empty when
  // it is still running after `timeoutMs` or was never started.
  std::optional<int> Wait(int timeoutMs);
  pid_t Pid() const { return FPid; }
  bool IsRunning();
  // SIGTERM, then SIGKILL after `graceMs`; always reaps.
  void Stop(int graceMs = 3000);

private:
  pid_t FPid = -1;
};

// Runs a short command to its end (killed after `timeoutMs`) and returns its
// exit code, -1 when it could not run or was killed; `output` gets its stdout.
int RunCommand(const std::vector<std::string> &argv, const TEnvironment &extra, std::string *output = nullptr,
               int timeoutMs = 10000);
