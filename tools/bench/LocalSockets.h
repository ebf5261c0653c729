#pragma once
// Unix-domain sockets: the simulator's control channel, and the link on
// which the measuring client hands the bridge's byte stream to us.

#include <string>

// One connection to a simulator's control socket: a command line out, a reply line back.
class TSimControl {
public:
  ~TSimControl();
  bool Connect(const std::string &path, int timeoutMs);
  // The reply line without its newline; starts with "ERR" on failure.
  std::string Command(const std::string &line);

private:
  int FFd = -1;
  std::string FInput;
};

// Where the measuring client connects once it has reached the bridge.
class TLinkServer {
public:
  ~TLinkServer();
  bool Listen(const std::string &path);
  // A non-blocking connected fd, or -1 after `timeoutMs`. The caller closes it.
  int Accept(int timeoutMs);

private:
  int FFd = -1;
};

// Waits for bytes or end of stream on `fd`; true when the peer closed.
bool WaitForClose(int fd, int timeoutMs);

// Sets or clears O_NONBLOCK on the open file, which a child handed `fd` shares.
void SetNonBlocking(int fd, bool nonBlocking);

// Reads from `fd` byte by byte up to and including the first LF, so nothing
// after it is taken; what came when `timeoutMs` ran out or the peer closed.
std::string ReadLine(int fd, int timeoutMs);
