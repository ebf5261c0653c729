#pragma once
// The bridge's listening TCP socket on 127.0.0.1, made with the system's own
// calls so that a failure can name the system's message, its code and the
// call that failed. The socket layer (Qt) takes the made socket over.

#include <cstdint>
#include <string>

struct TListenResult {
  // The listening socket (a descriptor, on Windows a SOCKET); -1 on failure.
  intptr_t socket = -1;
  // On failure: the system's error code, its message and the call that failed
  // ("socket", "bind" or "listen").
  int errorCode = 0;
  std::string errorText; // UTF-8
  std::string api;
};

// Listens on 127.0.0.1:`port` (0 picks a free port) with `backlog` pending
// connections. The port is held exclusively: a port another socket listens on
// is refused, while connections of an earlier listening socket that are
// still closing do not hold a restart up. The socket is not inherited by
// programs started later.
TListenResult ListenOnLoopback(uint16_t port, int backlog);

// Closes a socket ListenOnLoopback made that nothing has taken over.
void CloseListenSocket(intptr_t socket);
