#include "platform/ListenSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TListenResult Failed(int fd, const char *api) {
  const int error = errno;
  if (fd >= 0)
    close(fd);
  return TListenResult{-1, error, std::strerror(error), api};
}

} // namespace

TListenResult ListenOnLoopback(uint16_t port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return Failed(fd, "socket");
  // A restart must not wait for connections of the previous socket in
  // TIME_WAIT; Linux still refuses a port that another socket listens on.
  const int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
    return Failed(fd, "bind");
  if (listen(fd, backlog) < 0)
    return Failed(fd, "listen");
  return TListenResult{fd, 0, {}, {}};
}

void CloseListenSocket(intptr_t socket) {
  if (socket >= 0)
    close(static_cast<int>(socket));
}
