// The owner of a loopback connection's client socket, looked up in the
// system's socket tables (under wine, which lists no owners, in the host's).

#include "PeerSocket.h"
#include "platform/ListenSocket.h"
#include "platform/PeerOwner.h"

#include <doctest.h>

TEST_CASE("a client of this user's own is found to be this user's") {
  const intptr_t listener = ListenOnLoopback(0, 1).socket;
  REQUIRE(listener != -1);
  const intptr_t client = ConnectToLoopback(std::to_string(LocalPort(listener)));
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
  CloseListenSocket(listener);
}
