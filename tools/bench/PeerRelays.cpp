#include "PeerRelays.h"

#include "Sockets.h"
#include "serial/COMUtils.h"

#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto StartTimeout = std::chrono::seconds(10);

} // namespace

bool TSocatRelay::Start(const std::string &link, long baud, int port, const std::string &outputPath, bool noDelay) {
  const std::string listen =
      "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr" + (noDelay ? ",nodelay" : "");
  const std::string line = "OPEN:" + link + ",raw,echo=0,b" + std::to_string(baud);
  if (!FProcess.Start({"socat", listen, line}, {}, outputPath))
    return false;
  const auto end = std::chrono::steady_clock::now() + StartTimeout;
  while ((FFd = ConnectLoopback(port)) < 0 && std::chrono::steady_clock::now() < end && FProcess.IsRunning())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (FFd < 0)
    return false;
  const int on = 1;
  setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) | O_NONBLOCK);
  return true;
}

void TSocatRelay::Stop() {
  if (FFd >= 0)
    close(FFd);
  FFd = -1;
  FProcess.Stop();
}

int OpenRawPty(const std::string &link, long baud) {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  return OpenCOM(link, static_cast<int32_t>(baud), handle) ? handle : -1;
}
