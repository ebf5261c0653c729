#pragma once
// The simulator's end of the serial line: a pseudo-terminal whose slave is
// published under a fixed path for the bridge to open.

#include <chrono>
#include <optional>
#include <string>

class TSimPty {
public:
  // `rawSlave` false leaves the slave at the kernel's default line settings
  // (echo, canonical mode, XON/XOFF), as a freshly plugged adapter comes.
  TSimPty(std::string linkPath, bool rawSlave) : FLinkPath(std::move(linkPath)), FRawSlave(rawSlave) {}
  ~TSimPty() { Unpublish(); }
  TSimPty(const TSimPty &) = delete;
  TSimPty &operator=(const TSimPty &) = delete;

  // Creates a fresh pty and points the link at it (an old link is replaced).
  // Throws std::runtime_error with the OS message on failure.
  void Publish();
  // Removes the link and closes both ends, so an open slave sees a hang-up.
  void Unpublish();
  bool IsOpen() const { return FMaster >= 0; }
  int MasterFd() const { return FMaster; }
  // The bridge's side of the line, held open by the simulator.
  int SlaveFd() const { return FSlave; }

  // Appends at most `most` bytes of what the bridge wrote to `out`; returns
  // the number of bytes read.
  size_t Read(std::string &out, size_t most);
  // Bytes the bridge wrote that wait to be read.
  size_t QueuedInput() const;
  // Queues bytes for the bridge; they go out as the line takes them.
  void Queue(std::string_view bytes);
  bool HasPending() const { return !FPending.empty(); }
  void FlushPending();
  // How long, in all, output has waited because the bridge did not read.
  std::chrono::milliseconds HeldBack() const;

private:
  using TClock = std::chrono::steady_clock;
  void NotePending();

  std::string FLinkPath;
  bool FRawSlave;
  int FMaster = -1;
  // Held open so that the master never reads EIO while the bridge has the
  // port closed, and so the raw settings survive the bridge's close and reopen.
  int FSlave = -1;
  std::string FPending;
  std::optional<TClock::time_point> FPendingSince;
  TClock::duration FHeldBack{};
};
