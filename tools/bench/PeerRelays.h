#pragma once
// What the wizard is measured against in the same run: socat relaying the
// device's pty to a loopback TCP port, and the pty opened directly.

#include "ChildProcess.h"

#include <string>

class TSocatRelay {
public:
  // Starts socat on 127.0.0.1:`port` for the pty at `link`, raw at `baud`,
  // and connects to it; false when socat is missing or does not come up.
  // `noDelay` sets TCP_NODELAY on socat's side: without it, a reply that the
  // line hands over in pieces waits for the client's delayed ACK after its
  // first piece (Nagle), some 40 ms.
  bool Start(const std::string &link, long baud, int port, const std::string &outputPath, bool noDelay = false);
  // The connected, non-blocking client socket; -1 before Start.
  int Fd() const { return FFd; }
  pid_t Pid() const { return FProcess.Pid(); }
  void Stop();
  ~TSocatRelay() { Stop(); }

private:
  TChildProcess FProcess;
  int FFd = -1;
};

// The device's pty opened as the wizard opens it (raw 8N1 at `baud`); -1 when
// it cannot be opened. The caller closes it with CloseCOM.
int OpenRawPty(const std::string &link, long baud);
