#include "platform/PeerOwner.h"

#include "platform/ProcNetTcp.h"

#include <unistd.h>

TPeerOwner PeerOwner(const TTcpConnection &connection) {
  if (const std::optional<uint32_t> uid = ProcNetTcpClientUid(connection, "/proc"))
    return TPeerOwner{*uid == geteuid(), "uid " + std::to_string(*uid)};
  return TPeerOwner{};
}
