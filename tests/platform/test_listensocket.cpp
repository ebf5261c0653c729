// The bridge's listening socket: on loopback only, its port held alone, and
// taken again after a stop.

#include "PeerSocket.h"
#include "platform/ListenSocket.h"

#include <doctest.h>

namespace {

constexpr uint32_t KLoopback = 0x7F000001;

} // namespace

TEST_CASE("the listening socket takes clients on 127.0.0.1, refuses a taken port at bind, and restarts on its port") {
  const TListenResult first = ListenOnLoopback(0, 5);
  REQUIRE(first.socket != -1);
  CHECK(first.errorCode == 0);
  const uint16_t port = LocalPort(first.socket);
  REQUIRE(port != 0);

  const intptr_t client = ConnectToLoopback(std::to_string(port));
  const intptr_t accepted = client != -1 ? AcceptConnection(first.socket) : -1;
  TTcpConnection ends;
  REQUIRE(ConnectionEnds(accepted, ends));
  CHECK(ends.local.address == KLoopback);
  CHECK(ends.local.port == port);

  // Held alone: a second socket on the port is refused with the system's reason.
  const TListenResult second = ListenOnLoopback(port, 5);
  CHECK(second.socket == -1);
  CHECK(second.api == "bind");
  CHECK(second.errorCode != 0);
  CHECK_FALSE(second.errorText.empty());

  // Stopped after its client went, it listens on the same port again at once.
  CloseSocket(accepted);
  CloseSocket(client);
  CloseListenSocket(first.socket);
  const TListenResult restarted = ListenOnLoopback(port, 5);
  CHECK(restarted.socket != -1);
  CHECK(LocalPort(restarted.socket) == port);
  CloseListenSocket(restarted.socket);
}
