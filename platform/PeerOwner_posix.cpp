#include "platform/PeerOwner.h"

#include "platform/ProcNetTcp.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

std::string ReadTable(const char *path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

// The client's socket is listed with the client's end as its local one. The
// tables are read in pieces, between which a busy system's sockets can shift:
// a socket not found is looked for once more before it counts as ownerless.
TPeerOwner PeerOwner(const TTcpConnection &connection) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      if (const std::optional<uint32_t> uid = ProcNetTcpOwner(ReadTable(table), connection.peer, connection.local))
        return TPeerOwner{*uid == geteuid(), "uid " + std::to_string(*uid)};
    }
  }
  return TPeerOwner{};
}
