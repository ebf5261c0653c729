#include "Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Connects a new stream socket of `family`; -1 (errno kept) on failure.
int ConnectNew(int family, const sockaddr *address, socklen_t size) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, address, size) == 0)
    return fd;
  const int reason = errno;
  close(fd);
  errno = reason;
  return -1;
}

} // namespace

bool UnixAddress(const std::string &path, sockaddr_un &address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  path.copy(address.sun_path, path.size());
  return true;
}

int ConnectUnixSocket(const std::string &path) {
  sockaddr_un address;
  if (!UnixAddress(path, address))
    return -1;
  return ConnectNew(AF_UNIX, reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

int ConnectLoopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ConnectNew(AF_INET, reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

bool SendAll(int fd, const char *bytes, size_t count) {
  while (count > 0) {
    const ssize_t put = send(fd, bytes, count, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    bytes += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

long EnvironmentNumber(const char *name, long fallback) {
  const char *value = std::getenv(name);
  return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}
