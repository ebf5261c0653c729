#pragma once
// Blocking loopback TCP sockets, one backend file per OS.

#include "platform/PeerOwner.h"

#include <cstdint>
#include <string>

// The connected socket, or -1.
intptr_t ConnectToLoopback(const std::string &port);
bool SendText(intptr_t socket, const std::string &text);
bool ReceiveByte(intptr_t socket, char &c);
void CloseSocket(intptr_t socket);

// The port a socket is bound to; 0 when it cannot be read.
uint16_t LocalPort(intptr_t socket);
// The next connection accepted on `listener`, or -1.
intptr_t AcceptConnection(intptr_t listener);
// The local and remote ends of a connected socket.
bool ConnectionEnds(intptr_t socket, TTcpConnection &ends);
