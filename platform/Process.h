#pragma once
// One child process with everything it starts, ended on request and always
// reaped, so it never lingers as a zombie and its PID is never signalled
// once it may have been handed to another process.

#include <string>
#include <sys/types.h>
#include <vector>

// How a process ended: its exit code, or the signal that ended it.
struct TProcessEnd {
  bool bySignal = false;
  int number = 0;
};

// A program that starts another in its place, as wine starts a Windows
// program: `program` is started with the other's path as its one argument,
// with the `defaults` (NAME=value) added where the environment lacks NAME.
struct TInterpreter {
  std::string program;
  std::vector<std::string> defaults;
};

// Whether the program at `path` is started through wine here: a Windows
// executable on another system (Windows: never).
bool NeedsWine(const std::string &path);

// Ends every process of this user (other than this one) whose command line
// names `path`: SIGTERM, SIGKILL after a short grace. For what a program
// left behind outside its process group, such as its Windows process under
// wine (Windows: nothing, the job has ended those).
void EndProcessesNaming(const std::string &path);

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
  // With `through`, that program is started to run `program` (Windows: refused,
  // Windows programs start by themselves there).
  bool Start(const std::string &program, const std::string &workingFolder, std::string *error,
             const TInterpreter *through = nullptr);

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
