#pragma once
// A blocking loopback TCP client, one backend file per OS.

#include <cstdint>
#include <string>

// The connected socket, or -1.
intptr_t ConnectToLoopback(const std::string &port);
bool SendText(intptr_t socket, const std::string &text);
bool ReceiveByte(intptr_t socket, char &c);
void CloseSocket(intptr_t socket);
