#include "SimRunner.h"

#include "serial/COMUtils.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gSignalled = 0;

void OnSignal(int) { gSignalled = 1; }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// A signal that lands between the check and poll() is noticed after this long.
constexpr int MaxPollMs = 100;

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n <= 0)
      return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

bool ParseChoice(const std::string &text, const std::string &yes, const std::string &no) {
  if (text == yes || text == no)
    return text == yes;
  throw std::invalid_argument("expected " + yes + " or " + no + ", not " + text);
}

// "off", "on" (at the line speed) or "line" (at the line speed from when written).
void ParsePacing(const std::string &text, TCommonOptions &options) {
  if (text != "off" && text != "on" && text != "line")
    throw std::invalid_argument("expected on, off or line, not " + text);
  options.pacedReceive = text != "off";
  options.pacedFromWrite = text == "line";
}

// Takes the options every simulator has; false for any other option.
bool ParseCommonOption(const std::string &name, const TOptionValue &value, TCommonOptions &options) {
  if (name == "--flow")
    options.blockingFlow = ParseChoice(value(), "blocking", "free");
  else if (name == "--tty")
    options.rawTty = ParseChoice(value(), "raw", "default");
  else if (name == "--paced")
    ParsePacing(value(), options);
  else if (name == "--link")
    options.linkPath = value();
  else if (name == "--control")
    options.controlPath = value();
  else if (name == "--log")
    options.logPath = value();
  else if (name == "--time-limit")
    options.timeLimitSeconds = ParseCount(value());
  else
    return false;
  return true;
}

} // namespace

bool ParseCommandLine(int argc, char **argv, const TOptionParser &parseOption, TCommonOptions &options) {
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string name = argv[i];
      const TOptionValue value = [&] {
        if (i + 1 >= argc)
          throw std::invalid_argument(name + " needs a value");
        return std::string(argv[++i]);
      };
      if (!ParseCommonOption(name, value, options) && !parseOption(name, value))
        throw std::invalid_argument("unknown option " + name);
    }
    if (options.linkPath.empty() || options.controlPath.empty())
      throw std::invalid_argument("--link PATH and --control PATH are required");
    return true;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return false;
  }
}

TSimRunner::TSimRunner(const TCommonOptions &options)
    : FOptions(options), FPty(options.linkPath, options.rawTty),
      FControl(options.controlPath, [this](const std::string &line) { return HandleCommand(line); }) {}

TSimRunner::~TSimRunner() {
  if (FLogFd >= 0)
    close(FLogFd);
}

int TSimRunner::Run(TSimBehaviour &behaviour) {
  FBehaviour = &behaviour;
  InstallSignalHandlers();
  try {
    if (!FOptions.logPath.empty()) {
      FLogFd = open(FOptions.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
      if (FLogFd < 0)
        throw std::runtime_error("cannot open the log " + FOptions.logPath);
    }
    FPty.Publish();
    FControl.Listen();
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  FTimers.Schedule(FOptions.timeLimitSeconds * 1000, [this] {
    std::fprintf(stderr, "time limit reached\n");
    FStopRequested = true;
  });
  std::printf("READY\n");
  std::fflush(stdout);

  while (!FStopRequested && !gSignalled) {
    TPollSet set;
    int waitMs = FTimers.MsUntilNext(MaxPollMs);
    if (FPty.IsOpen()) {
      AddLine(set);
      if (FOptions.pacedReceive && !WantsInput())
        waitMs = std::min(waitMs, FPacer.MsUntilAllowance());
    }
    FControl.AddTo(set);
    AddWatched(set);
    set.Wait(waitMs);
    FTimers.RunDue();
  }
  return 0;
}

void TSimRunner::AddLine(TPollSet &set) {
  const int fd = FPty.MasterFd();
  const short events = (WantsInput() ? POLLIN : 0) | (FPty.HasPending() ? POLLOUT : 0);
  set.Add(fd, events, [this, fd](short revents) {
    if (FPty.MasterFd() != fd)
      return; // unplugged by an earlier handler of this pass
    if (revents & POLLOUT)
      FPty.FlushPending();
    if (revents & POLLIN)
      ReadLine();
  });
}

// A handler may unwatch its own descriptor, or another one ready in the same pass.
void TSimRunner::AddWatched(TPollSet &set) {
  for (const auto &entry : FWatched)
    set.Add(entry.first, POLLIN, [this, fd = entry.first](short) {
      const auto watched = FWatched.find(fd);
      if (watched == FWatched.end())
        return;
      const std::function<void()> handler = watched->second;
      handler();
    });
}

long TSimRunner::LineSpeed() { return FPty.IsOpen() ? GetCOMSpeed(FPty.SlaveFd()) : 0; }

bool TSimRunner::WantsInput() {
  if (FOptions.blockingFlow && FPty.HasPending())
    return false;
  if (!FOptions.pacedReceive)
    return true;
  FPacer.Advance(GetCOMSpeed(FPty.SlaveFd()));
  // Woken by the next bytes, the pacer starts from their arrival.
  if (FOptions.pacedFromWrite && FPty.QueuedInput() == 0) {
    FPacer.LineIdle();
    return true;
  }
  return FPacer.Allowance() > 0;
}

void TSimRunner::ReadLine() {
  std::string bytes;
  const size_t most = FOptions.pacedReceive ? FPacer.Allowance() : SIZE_MAX;
  if (FPty.Read(bytes, most) == 0)
    return;
  if (FOptions.pacedReceive)
    FPacer.Took(bytes.size());
  FReceived += bytes.size();
  AppendToLog(bytes);
  FBehaviour->OnReceived(bytes);
}

void TSimRunner::AppendToLog(std::string_view bytes) {
  if (FLogFd >= 0)
    WriteAll(FLogFd, bytes);
}

std::string TSimRunner::HandleCommand(const std::string &line) {
  const size_t space = line.find(' ');
  const std::string name = line.substr(0, space);
  const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
  try {
    if (name == "stop") {
      FStopRequested = true;
      return "OK";
    }
    if (name == "received")
      return "OK " + std::to_string(FReceived);
    if (name == "heldback")
      return "OK " + std::to_string(FPty.HeldBack().count());
    if (name == "unplug")
      return Unplug(ParseCount(argument));
    const std::string reply = FBehaviour->OnCommand(name, argument);
    return reply.empty() ? "ERR unknown command: " + name : reply;
  } catch (const std::exception &error) {
    return std::string("ERR ") + error.what();
  }
}

std::string TSimRunner::Unplug(long ms) {
  FPty.Unpublish();
  FBehaviour->OnUnplug();
  if (FReplug)
    FTimers.Cancel(*FReplug);
  FReplug = FTimers.Schedule(ms, [this] {
    FReplug.reset();
    try {
      FPty.Publish();
    } catch (const std::exception &error) {
      std::fprintf(stderr, "cannot plug the line back in: %s\n", error.what());
      FStopRequested = true;
    }
  });
  return "OK";
}
