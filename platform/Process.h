#pragma once
// One child process with everything it starts, ended on request and always
// reaped, so it never lingers as a zombie and its PID is never signalled
// once it may have been handed to another process.

#include <string>
#include <sys/types.h>

// How a process ended: its exit code, or the signal that ended it.
struct TProcessEnd {
  bool bySignal = false;
  int number = 0;
};

class TProcess {
public:
  TProcess() = default;
  TProcess(const TProcess &) = delete;
  TProcess &operator=(const TProcess &) = delete;
  // Stops the process if it is still ours.
  ~TProcess();

  // Starts `program` (argv[0] = the path, no further arguments) in
  // `workingFolder`, with the default signal dispositions and no descriptors
  // inherited beyond stdin, stdout and stderr, as the leader of a process
  // group of its own (Windows: in a job of its own) that holds whatever it
  // starts in turn. Fails while an earlier process has not been stopped;
  // `error` then gets the system's reason.
  bool Start(const std::string &program, const std::string &workingFolder, std::string *error);

  // Whether the process has ended by itself; `end` then tells how. The
  // process stays ours until Stop, which keeps its group safe to signal.
  bool HasEnded(TProcessEnd *end) const;

  // Ends the process group: SIGTERM (and SIGCONT for a stopped member),
  // SIGKILL to what is left after a short grace, then the process is reaped
  // (Windows: the job is terminated, then a bounded wait for the process's
  // end, so that its file can be deleted). Nothing happens without a process.
  void Stop();

  // PID of the process until it is stopped, -1 otherwise.
  pid_t Pid() const { return FPid; }

private:
  // Waits a short grace for the process and its group to end.
  bool WaitForEnd() const;

  pid_t FPid = -1;
#ifdef _WIN32
  void *FProcess = nullptr; // the process handle, closed when stopped
  void *FJob = nullptr;     // the job that holds it and what it starts
#endif
};
