#include "PeerSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

intptr_t ConnectToLoopback(const std::string &port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::stoi("0" + port)));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0)
    close(fd);
  return -1;
}

bool SendText(intptr_t socket, const std::string &text) {
  return send(static_cast<int>(socket), text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool ReceiveByte(intptr_t socket, char &c) { return recv(static_cast<int>(socket), &c, 1, 0) == 1; }

void CloseSocket(intptr_t socket) {
  if (socket >= 0)
    close(static_cast<int>(socket));
}

namespace {

TTcpEndpoint EndpointOf(const sockaddr_in &address) {
  return TTcpEndpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

} // namespace

uint16_t LocalPort(intptr_t socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  return getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr *>(&address), &length) == 0
             ? ntohs(address.sin_port)
             : 0;
}

intptr_t AcceptConnection(intptr_t listener) { return accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC); }

bool ConnectionEnds(intptr_t socket, TTcpConnection &ends) {
  sockaddr_in local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr *>(&local), &localLength) != 0 ||
      getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
    return false;
  ends = TTcpConnection{EndpointOf(local), EndpointOf(peer)};
  return true;
}
