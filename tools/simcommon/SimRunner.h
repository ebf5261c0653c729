#pragma once
// Runs one simulator: the published pty, the control socket, the raw log of
// received bytes, the time limit and the signals that end it.

#include "ControlServer.h"
#include "Options.h"
#include "SimLine.h"
#include "SimPty.h"

#include <functional>
#include <optional>
#include <string>

struct TCommonOptions {
  std::string linkPath;
  std::string controlPath;
  std::string logPath;
  long timeLimitSeconds = 600;
};

// Parses the command line: the common options here, every other one through
// `parseOption` (false for an unknown option). On a bad command line prints
// the reason to stderr and returns false.
using TOptionParser = std::function<bool(const std::string &name, const TOptionValue &value)>;
bool ParseCommandLine(int argc, char **argv, const TOptionParser &parseOption, TCommonOptions &options);

class TSimRunner : public TSimLine {
public:
  explicit TSimRunner(const TCommonOptions &options);
  ~TSimRunner() override;

  // Publishes the line, prints READY and serves until stop, a signal or the
  // time limit. Returns the process exit code.
  int Run(TSimBehaviour &behaviour);

  void Send(std::string_view bytes) override { FPty.Queue(bytes); }
  TTimerQueue &Timers() override { return FTimers; }

private:
  std::string HandleCommand(const std::string &line);
  std::string Unplug(long ms);
  void ReadLine();
  void AppendToLog(std::string_view bytes);

  TCommonOptions FOptions;
  TSimPty FPty;
  TControlServer FControl;
  TTimerQueue FTimers;
  TSimBehaviour *FBehaviour = nullptr;
  int FLogFd = -1;
  unsigned long long FReceived = 0;
  std::optional<TTimerQueue::TId> FReplug;
  bool FStopRequested = false;
};
