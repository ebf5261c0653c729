// The measuring setup program: started by the wizard with no arguments, it
// connects to the bridge's TCP server and hands the byte stream over, both
// ways and unchanged, to the benchmark through a Unix-domain socket.
// Environment:
//   BENCH_PORT         the bridge's TCP port on 127.0.0.1 (default 53462)
//   BENCH_LINK         the benchmark's socket path (required)
//   BENCH_LIFETIME_MS  it ends on its own after this long (default 150000)
//   BENCH_RECONNECT    1: when either side closes, it closes the other and
//                      starts over, as a setup program that reconnects after
//                      a lost bridge (default 0)
// Otherwise it ends when either side closes.

#include "LocalSockets.h"
#include "Sockets.h"


#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int ConnectTcp(int port) {
  const int fd = ConnectLoopback(port);
  if (fd >= 0) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return fd;
}

// Moves what `from` has to `to`; false when either side is closed.
bool Forward(int from, int to) {
  char buffer[65536];
  const ssize_t got = read(from, buffer, sizeof buffer);
  return got > 0 && SendAll(to, buffer, static_cast<size_t>(got));
}

void Relay(int bridge, int bench, Clock::time_point end) {
  pollfd fds[2] = {{bridge, POLLIN, 0}, {bench, POLLIN, 0}};
  while (Clock::now() < end) {
    if (poll(fds, 2, 100) < 0)
      return;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !Forward(bridge, bench))
      return;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !Forward(bench, bridge))
      return;
  }
}

// One session: the bridge, then the benchmark's link, relayed until either
// closes. False when it did not get that far.
bool Session(int port, const char *link, Clock::time_point end) {
  int bridge = -1;
  while ((bridge = ConnectTcp(port)) < 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Reaching the benchmark only now tells it that the bridge has its client.
  const int bench = bridge >= 0 ? ConnectUnixSocket(link) : -1;
  if (bench >= 0)
    Relay(bridge, bench, end);
  if (bench >= 0)
    close(bench);
  if (bridge >= 0)
    close(bridge);
  return bench >= 0;
}

} // namespace

int main() {
  const char *link = std::getenv("BENCH_LINK");
  if (!link || !*link) {
    std::fprintf(stderr, "benchclient: BENCH_LINK is not set\n");
    return 2;
  }
  const int port = static_cast<int>(EnvironmentNumber("BENCH_PORT", 53462));
  const auto end = Clock::now() + std::chrono::milliseconds(EnvironmentNumber("BENCH_LIFETIME_MS", 150000));
  const bool reconnect = EnvironmentNumber("BENCH_RECONNECT", 0) == 1;
  bool ok = Session(port, link, end);
  while (ok && reconnect && Clock::now() < end)
    ok = Session(port, link, end);
  return ok ? 0 : 1;
}
