#include "ModbusPoll.h"

#include "BenchReport.h"
#include "BenchRig.h"
#include "Sockets.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr long PollBauds[] = {19200, 115200};
constexpr int PollCount = 200;
constexpr int Registers = 10;
constexpr double MaxOverSocatMs = 2;
constexpr int ClientStartMs = 20000;
constexpr int QuietMs = 10000; // the client gives up on a request after 2 s
// Debian's pymodbus is installed for Debian's interpreter, whatever else PATH finds.
const std::string Python = "/usr/bin/python3";

// A loopback listener on a port the kernel picks; -1 on failure.
int ListenLoopback(int *port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
    if (fd >= 0)
      close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int AcceptWithin(int listener, int timeoutMs) {
  pollfd poller{listener, POLLIN, 0};
  if (poll(&poller, 1, timeoutMs) <= 0)
    return -1;
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  const int on = 1;
  if (fd >= 0)
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// Copies bytes both ways between the two until either closes or both are quiet.
void Relay(int client, int link) {
  pollfd fds[2] = {{client, POLLIN, 0}, {link, POLLIN, 0}};
  char buffer[4096];
  while (poll(fds, 2, QuietMs) > 0)
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents)
        continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0 || !SendAll(fds[1 - i].fd, buffer, static_cast<size_t>(got)))
        return;
    }
}

// The client's "mean_ms X"; -1 when it is not there.
double MeanMs(const std::string &output) {
  const size_t at = output.find("mean_ms ");
  return at == std::string::npos ? -1 : std::stod(output.substr(at + 8));
}

// The mean milliseconds per request through `link`, or -1 with the reason on stderr.
double Poll(int link, const fs::path &root, long baud, const std::string &relay) {
  int port = 0;
  const int listener = ListenLoopback(&port);
  Require(listener >= 0, "cannot listen on a loopback port");
  const fs::path output = root / "modbus_poll.log";
  TChildProcess client;
  const bool started = client.Start({Python, MODBUS_POLL_SCRIPT, "--port", std::to_string(port), "--count",
                                     std::to_string(PollCount), "--registers", std::to_string(Registers)},
                                    {}, output.string());
  const int peer = started ? AcceptWithin(listener, ClientStartMs) : -1;
  close(listener);
  if (peer >= 0) {
    SetNonBlocking(link, false);
    Relay(peer, link);
    SetNonBlocking(link, true);
    close(peer);
  }
  const std::optional<int> code = client.Wait(ClientStartMs);
  const std::string text = ReadText(output);
  if (code == 0 && MeanMs(text) >= 0)
    return MeanMs(text);
  std::fprintf(stderr, "tandrel-bench: Modbus poll at %ld baud through %s failed: %s\n", baud, relay.c_str(),
               text.empty() ? "no output" : text.c_str());
  return -1;
}

} // namespace

std::vector<TPollResult> MeasurePolls(TBenchRig &rig) {
  TSimulator device(rig.Root(), "modbus", "device", SIMDEVICE_BIN, {"--mode", "modbus", "--paced", "line"});
  device.Start();
  std::vector<TPollResult> results;
  for (const long baud : PollBauds) {
    TPollResult result{baud};
    const int fd = rig.Connect(device, baud);
    result.wizardMs = Poll(fd, rig.Root(), baud, "the wizard");
    rig.Disconnect(fd);
    TSocatRelay socat;
    // The reply comes off the line in pieces: without TCP_NODELAY socat
    // would wait out the client's delayed ACK on every one.
    rig.StartSocat(socat, device, baud, true);
    result.socatMs = Poll(socat.Fd(), rig.Root(), baud, "socat");
    results.push_back(result);
  }
  device.Stop();
  return results;
}

bool PrintPolls(const std::vector<TPollResult> &polls) {
  bool met = !polls.empty();
  for (const TPollResult &poll : polls) {
    const bool measured = poll.wizardMs >= 0 && poll.socatMs >= 0;
    const bool lineMet = measured && poll.wizardMs <= poll.socatMs + MaxOverSocatMs;
    std::printf("Modbus RTU poll (pymodbus), %d reads of %d registers at %ld baud: wizard %.2f ms, socat (nodelay) "
                "%.2f ms a request, difference %+.2f ms (target <= socat + %.0f ms: %s)\n",
                PollCount, Registers, poll.baud, poll.wizardMs, poll.socatMs, poll.wizardMs - poll.socatMs,
                MaxOverSocatMs, Verdict(lineMet));
    met = met && lineMet;
  }
  return met;
}
