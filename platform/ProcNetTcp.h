#pragma once
// The Linux socket tables /proc/net/tcp and /proc/net/tcp6, read as text.

#include "platform/PeerOwner.h"

#include <optional>
#include <string_view>

// The uid that owns the socket listed in `table` (the text of either file)
// with the local end `local` and the remote end `remote`; IPv4 ends are
// matched in tcp6 as IPv4-mapped addresses. Nullopt when no such socket is
// listed, or only one without an owner (a closed socket waiting out its
// TIME_WAIT lists inode 0, and uid 0 whoever had it).
std::optional<uint32_t> ProcNetTcpOwner(std::string_view table, const TTcpEndpoint &local,
                                        const TTcpEndpoint &remote);
