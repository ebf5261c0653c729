#pragma once
// The Linux socket tables /proc/net/tcp and /proc/net/tcp6, read as text:
// natively, and by a Windows program under wine, whose sockets are the
// host's own.

#include "platform/PeerOwner.h"

#include <optional>
#include <string>
#include <string_view>

// The uid that owns the socket listed in `table` (the text of either file)
// with the local end `local` and the remote end `remote`; IPv4 ends are
// matched in tcp6 as IPv4-mapped addresses. Nullopt when no such socket is
// listed, or only one without an owner (a closed socket waiting out its
// TIME_WAIT lists inode 0, and uid 0 whoever had it).
std::optional<uint32_t> ProcNetTcpOwner(std::string_view table, const TTcpEndpoint &local,
                                        const TTcpEndpoint &remote);

// The uid that owns the client's socket of `connection` (listed with the
// client's end as its local one), from the tables under `procRoot` ("/proc",
// or "Z:/proc" under wine). The tables are read in pieces, between which a
// busy system's sockets can shift: a socket not found is looked for once more
// before it counts as ownerless.
std::optional<uint32_t> ProcNetTcpClientUid(const TTcpConnection &connection, const std::string &procRoot);

// The effective uid of the reading process, from `procRoot`/self/status.
std::optional<uint32_t> ProcSelfUid(const std::string &procRoot);
