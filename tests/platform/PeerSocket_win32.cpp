#include "PeerSocket.h"

#include <winsock2.h>

namespace {

struct TWinsock {
  TWinsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~TWinsock() { WSACleanup(); }
};

void StartWinsock() { static TWinsock winsock; }

TTcpEndpoint EndpointOf(const sockaddr_in &address) {
  return TTcpEndpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

} // namespace

intptr_t ConnectToLoopback(const std::string &port) {
  StartWinsock();
  const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(std::stoi("0" + port)));
  if (fd != INVALID_SOCKET && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
    return static_cast<intptr_t>(fd);
  if (fd != INVALID_SOCKET)
    closesocket(fd);
  return -1;
}

bool SendText(intptr_t socket, const std::string &text) {
  return send(static_cast<SOCKET>(socket), text.data(), static_cast<int>(text.size()), 0) ==
         static_cast<int>(text.size());
}

bool ReceiveByte(intptr_t socket, char &c) { return recv(static_cast<SOCKET>(socket), &c, 1, 0) == 1; }

void CloseSocket(intptr_t socket) {
  if (socket != -1)
    closesocket(static_cast<SOCKET>(socket));
}

uint16_t LocalPort(intptr_t socket) {
  sockaddr_in address{};
  int length = sizeof address;
  return getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr *>(&address), &length) == 0
             ? ntohs(address.sin_port)
             : 0;
}

intptr_t AcceptConnection(intptr_t listener) {
  const SOCKET fd = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return fd == INVALID_SOCKET ? -1 : static_cast<intptr_t>(fd);
}

bool ConnectionEnds(intptr_t socket, TTcpConnection &ends) {
  sockaddr_in local{}, peer{};
  int localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr *>(&local), &localLength) != 0 ||
      getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
    return false;
  ends = TTcpConnection{EndpointOf(local), EndpointOf(peer)};
  return true;
}
