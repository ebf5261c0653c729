#include "platform/ListenSocket.h"

#include "platform/WinText.h"

#include <winsock2.h>

namespace {

// Windows Sockets must be started before the first call; the socket layer
// starts its own use later, and the count keeps both.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

TListenResult Failed(SOCKET s, int error, const char *api) {
  if (s != INVALID_SOCKET)
    closesocket(s);
  return TListenResult{-1, error, Utf8FromWide(SystemMessage(static_cast<DWORD>(error))), api};
}

TListenResult Failed(SOCKET s, const char *api) { return Failed(s, WSAGetLastError(), api); }

} // namespace

TListenResult ListenOnLoopback(uint16_t port, int backlog) {
  if (!StartWinsock())
    return Failed(INVALID_SOCKET, WSANOTINITIALISED, "WSAStartup");
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET)
    return Failed(s, "socket");
  // Without it another program could bind the same port with SO_REUSEADDR
  // and take the setup program's connections. It holds a restart up only
  // while connections accepted on the earlier socket are still open, and the
  // server resets those before it stops listening.
  const BOOL exclusive = TRUE;
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&exclusive), sizeof exclusive) != 0)
    return Failed(s, "setsockopt");

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
    return Failed(s, "bind");
  if (listen(s, backlog) != 0)
    return Failed(s, "listen");
  return TListenResult{static_cast<intptr_t>(s), 0, {}, {}};
}

void CloseListenSocket(intptr_t socket) {
  if (socket != -1)
    closesocket(static_cast<SOCKET>(socket));
}
