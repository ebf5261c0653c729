// simctl SOCKET COMMAND [ARG ...]: sends the words as one control line to a
// simulator's control socket and prints the reply line. Exit status 0 for an
// "OK" reply, 1 for "ERR", 2 when the simulator cannot be reached.

#include "Sockets.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr int ReplyTimeoutMs = 5000;

int Fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "simctl: %s: %s\n", what, detail.c_str());
  return 2;
}

// Reads up to the first newline; false on timeout, error or a closed socket.
bool ReadLine(int fd, std::string &line) {
  char c = 0;
  for (;;) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, ReplyTimeoutMs) <= 0)
      return false;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    if (c == '\n')
      return true;
    line += c;
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: simctl SOCKET COMMAND [ARG ...]\n");
    return 2;
  }
  std::string command = argv[2];
  for (int i = 3; i < argc; ++i)
    command += std::string(" ") + argv[i];

  const int fd = ConnectUnixSocket(argv[1]);
  if (fd < 0)
    return Fail(argv[1], std::strerror(errno));
  std::string reply;
  const bool answered = SendAll(fd, command + "\n") && ReadLine(fd, reply);
  ::close(fd);
  if (!answered)
    return Fail(argv[1], "no reply");
  std::printf("%s\n", reply.c_str());
  return reply.rfind("OK", 0) == 0 ? 0 : 1;
}
