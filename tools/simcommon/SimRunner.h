#pragma once
// Runs one simulator: the published pty, the control socket, the raw log of
// received bytes, the time limit and the signals that end it.

#include "ControlServer.h"
#include "Options.h"
#include "ReceivePacer.h"
#include "SimLine.h"
#include "SimPty.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

struct TCommonOptions {
  std::string linkPath;
  std::string controlPath;
  std::string logPath;
  long timeLimitSeconds = 600;
  // End-to-end flow control, as a USB device has: while the bridge does not
  // take the simulator's output, the simulator takes nothing either.
  bool blockingFlow = false;
  // false: the pty keeps the kernel's default line settings until the bridge
  // configures it.
  bool rawTty = true;
  // Bytes from the bridge are taken no faster than the line speed it set.
  bool pacedReceive = false;
  // With pacedReceive: nor sooner than the line carries them from when the
  // bridge wrote them, so an idle line saves no allowance for the next
  // bytes, and a stop-and-wait exchange pays the line time of each message.
  bool pacedFromWrite = false;
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
  long LineSpeed() override;
  void Watch(int fd, std::function<void()> onReadable) override { FWatched[fd] = std::move(onReadable); }
  void Unwatch(int fd) override { FWatched.erase(fd); }

private:
  std::string HandleCommand(const std::string &line);
  std::string Unplug(long ms);
  void AddLine(TPollSet &set);
  void AddWatched(TPollSet &set);
  bool WantsInput();
  void ReadLine();
  void AppendToLog(std::string_view bytes);

  TCommonOptions FOptions;
  TSimPty FPty;
  TReceivePacer FPacer;
  TControlServer FControl;
  TTimerQueue FTimers;
  TSimBehaviour *FBehaviour = nullptr;
  std::map<int, std::function<void()>> FWatched;
  int FLogFd = -1;
  unsigned long long FReceived = 0;
  std::optional<TTimerQueue::TId> FReplug;
  bool FStopRequested = false;
};
