#include "LocalSockets.h"

#include "Sockets.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int ReplyTimeoutMs = 5000;

} // namespace

TSimControl::~TSimControl() {
  if (FFd >= 0)
    close(FFd);
}

bool TSimControl::Connect(const std::string &path, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while ((FFd = ConnectUnixSocket(path)) < 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return FFd >= 0;
}

std::string TSimControl::Command(const std::string &line) {
  const std::string request = line + "\n";
  if (FFd < 0 || send(FFd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return "ERR control channel closed";
  char buffer[512];
  size_t newline;
  while ((newline = FInput.find('\n')) == std::string::npos) {
    pollfd poller{FFd, POLLIN, 0};
    const ssize_t got = poll(&poller, 1, ReplyTimeoutMs) > 0 ? read(FFd, buffer, sizeof buffer) : 0;
    if (got <= 0)
      return "ERR no reply";
    FInput.append(buffer, static_cast<size_t>(got));
  }
  const std::string reply = FInput.substr(0, newline);
  FInput.erase(0, newline + 1);
  return reply;
}

TLinkServer::~TLinkServer() {
  if (FFd >= 0)
    close(FFd);
}

bool TLinkServer::Listen(const std::string &path) {
  sockaddr_un address;
  if (!UnixAddress(path, address))
    return false;
  FFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return FFd >= 0 && bind(FFd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(FFd, 1) == 0;
}

int TLinkServer::Accept(int timeoutMs) {
  pollfd poller{FFd, POLLIN, 0};
  if (poll(&poller, 1, timeoutMs) <= 0)
    return -1;
  return accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

bool WaitForClose(int fd, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd poller{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&poller, 1, static_cast<int>(left.count())) <= 0)
      return false;
    if (read(fd, buffer, sizeof buffer) == 0)
      return true;
  }
}

void SetNonBlocking(int fd, bool nonBlocking) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

std::string ReadLine(int fd, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  char byte = 0;
  while (byte != '\n') {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd poller{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&poller, 1, static_cast<int>(left.count())) <= 0 || read(fd, &byte, 1) != 1)
      break;
    line += byte;
  }
  return line;
}
