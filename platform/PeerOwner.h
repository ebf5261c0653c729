#pragma once
// Who owns the other end of a TCP connection accepted on this machine: the
// bridge talks only to programs of the user it runs as.

#include <cstdint>
#include <string>

// One end of an IPv4 connection; address and port in host byte order.
struct TTcpEndpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

struct TTcpConnection {
  TTcpEndpoint local; // the accepting side
  TTcpEndpoint peer;  // the client
};

struct TPeerOwner {
  // The client's socket belongs to the user this program runs as.
  bool thisUser = false;
  // Who owns it, for the log ("uid 1000"; on Windows the process and its
  // user); empty when no owner could be found.
  std::string name;
};

// The owner of the client's socket of `connection`, looked up in the system's
// socket tables. A client gone before the lookup has no owner any more.
TPeerOwner PeerOwner(const TTcpConnection &connection);
