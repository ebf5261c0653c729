// The owner of a loopback connection's client socket, looked up in the
// system's socket tables.

#include "PeerSocket.h"
#include "Skip.h"
#include "platform/PeerOwner.h"

#include <doctest.h>

TEST_CASE("a client of this user's own is found to be this user's" *
          SkipUnderWine(__FILE__, "wine lists no owning process for a TCP socket")) {
  uint16_t port = 0;
  const intptr_t listener = ListenOnLoopback(port);
  REQUIRE(listener != -1);
  const intptr_t client = ConnectToLoopback(std::to_string(port));
  const intptr_t accepted = client != -1 ? AcceptConnection(listener) : -1;
  TTcpConnection connection;
  const bool connected = accepted != -1 && ConnectionEnds(accepted, connection);
  CHECK(connected);
  if (connected) {
    const TPeerOwner owner = PeerOwner(connection);
    CHECK(owner.thisUser);
    CHECK_FALSE(owner.name.empty());
    // No socket has these ends: nobody owns it.
    TTcpConnection unknown = connection;
    unknown.peer.port = static_cast<uint16_t>(connection.peer.port ^ 1);
    const TPeerOwner nobody = PeerOwner(unknown);
    CHECK_FALSE(nobody.thisUser);
    CHECK(nobody.name.empty());
  }
  CloseSocket(accepted);
  CloseSocket(client);
  CloseSocket(listener);
}
