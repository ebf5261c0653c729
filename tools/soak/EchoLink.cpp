#include "EchoLink.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}
} // namespace

bool TEchoLink::Open(TLinkServer &server, TRecordCheck &check, int timeoutMs) {
  Close();
  FFd = server.Accept(timeoutMs);
  FCheck = &check;
  return FFd >= 0;
}

void TEchoLink::Close() {
  if (FFd >= 0)
    close(FFd);
  FFd = -1;
  FEcho.clear();
}

bool TEchoLink::PumpOnce(int waitMs) {
  if (FFd < 0)
    return false;
  pollfd poller{FFd, static_cast<short>(POLLIN | (FEcho.empty() ? 0 : POLLOUT)), 0};
  if (poll(&poller, 1, waitMs) < 0)
    return true;
  if (poller.revents & (POLLIN | POLLHUP | POLLERR)) {
    char buffer[65536];
    const ssize_t got = read(FFd, buffer, sizeof buffer);
    if (got <= 0) {
      Close();
      return false;
    }
    FCheck->Feed(std::string_view(buffer, static_cast<size_t>(got)));
    FEcho.append(buffer, static_cast<size_t>(got));
  }
  if (!FEcho.empty()) {
    const ssize_t sent = send(FFd, FEcho.data(), FEcho.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0)
      FEcho.erase(0, static_cast<size_t>(sent));
  }
  return true;
}

bool TEchoLink::Pump(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end)
    if (!PumpOnce(std::min(MsLeft(end), 20)))
      return false;
  return IsOpen();
}

bool TEchoLink::PumpUntil(const std::function<bool()> &done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= end || !PumpOnce(std::min(MsLeft(end), 20)))
      return false;
  }
  return true;
}

bool TEchoLink::PumpUntilClosed(int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (PumpOnce(std::min(MsLeft(end), 20)))
    if (Clock::now() >= end)
      return false;
  return true;
}
