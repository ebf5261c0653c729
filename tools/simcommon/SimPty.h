#pragma once
// The simulator's end of the serial line: a pseudo-terminal whose slave is
// published under a fixed path for the bridge to open.

#include <string>

class TSimPty {
public:
  explicit TSimPty(std::string linkPath) : FLinkPath(std::move(linkPath)) {}
  ~TSimPty() { Unpublish(); }
  TSimPty(const TSimPty &) = delete;
  TSimPty &operator=(const TSimPty &) = delete;

  // Creates a fresh pty with a raw slave and points the link at it (an old
  // link is replaced). Throws std::runtime_error with the OS message on failure.
  void Publish();
  // Removes the link and closes both ends, so an open slave sees a hang-up.
  void Unpublish();
  bool IsOpen() const { return FMaster >= 0; }
  int MasterFd() const { return FMaster; }

  // Appends what the bridge wrote to `out`; returns the number of bytes read.
  size_t Read(std::string &out);
  // Queues bytes for the bridge; they go out as the line takes them.
  void Queue(std::string_view bytes);
  bool HasPending() const { return !FPending.empty(); }
  void FlushPending();

private:
  std::string FLinkPath;
  int FMaster = -1;
  // Held open so that the master never reads EIO while the bridge has the
  // port closed, and so the raw settings survive the bridge's close and reopen.
  int FSlave = -1;
  std::string FPending;
};
