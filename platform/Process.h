#pragma once
// One child process, started with no arguments, killed on request and always
// reaped, so it never lingers as a zombie and its PID is never signalled
// once it may have been handed to another process.

#include <string>
#include <sys/types.h>

class TProcess {
public:
  TProcess() = default;
  TProcess(const TProcess &) = delete;
  TProcess &operator=(const TProcess &) = delete;
  // Kills the process if it is still ours.
  ~TProcess();

  // Starts `program` (argv[0] = the path, no further arguments) in
  // `workingFolder`, with the default signal dispositions and no descriptors
  // inherited beyond stdin, stdout and stderr. Fails if one is still running.
  bool Start(const std::string &program, const std::string &workingFolder, std::string *error);

  // Reaps the process if it has ended. True when no unreaped process is left.
  // Meant to be called periodically while the process runs.
  bool ReapIfExited();

  // Sends SIGKILL unless the process has already been reaped, then reaps it
  // (Windows: TerminateProcess, then a bounded wait for its end, so that its
  // file can be deleted).
  void Kill();

  // PID of the process until it is reaped, -1 otherwise.
  pid_t Pid() const { return FPid; }

private:
  pid_t FPid = -1;
#ifdef _WIN32
  void *FProcess = nullptr; // the process handle, closed when reaped
#endif
};
