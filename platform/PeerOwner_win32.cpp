#include "platform/PeerOwner.h"

#include "platform/ProcNetTcp.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

namespace {

bool Same(DWORD address, DWORD port, const TTcpEndpoint &end) {
  return ntohl(address) == end.address && ntohs(static_cast<u_short>(port)) == end.port;
}

// An IPv6 address that carries the IPv4 one of `end` (::ffff:a.b.c.d), as a
// dual-stack socket reaching 127.0.0.1 lists it.
bool SameMapped(const UCHAR (&address)[16], DWORD port, const TTcpEndpoint &end) {
  static const UCHAR prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(address, prefix, sizeof prefix) != 0)
    return false;
  DWORD mapped = 0;
  std::memcpy(&mapped, address + 12, sizeof mapped);
  return Same(mapped, port, end);
}

std::vector<unsigned char> TcpTable(ULONG family) {
  std::vector<unsigned char> buffer;
  ULONG size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  while (result == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family,
                                 TCP_TABLE_OWNER_PID_ALL, 0);
  }
  return result == NO_ERROR ? buffer : std::vector<unsigned char>();
}

// The owning process of the first row of the `family` table that `matches`;
// 0 when none does.
template <typename Table, typename Matches> DWORD OwnerInTable(ULONG family, Matches matches) {
  const std::vector<unsigned char> buffer = TcpTable(family);
  if (buffer.empty())
    return 0;
  const auto *table = reinterpret_cast<const Table *>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (matches(table->table[i]))
      return table->table[i].dwOwningPid;
  }
  return 0;
}

// The process that owns the TCP socket with these ends, in the IPv4 table
// or, for a dual-stack socket, the IPv6 one; 0 when none is listed.
DWORD OwningProcess(const TTcpEndpoint &local, const TTcpEndpoint &remote) {
  const DWORD v4 = OwnerInTable<MIB_TCPTABLE_OWNER_PID>(AF_INET, [&](const MIB_TCPROW_OWNER_PID &row) {
    return Same(row.dwLocalAddr, row.dwLocalPort, local) && Same(row.dwRemoteAddr, row.dwRemotePort, remote);
  });
  if (v4 != 0)
    return v4;
  return OwnerInTable<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, [&](const MIB_TCP6ROW_OWNER_PID &row) {
    return SameMapped(row.ucLocalAddr, row.dwLocalPort, local) && SameMapped(row.ucRemoteAddr, row.dwRemotePort, remote);
  });
}

// The user a process runs as, as a SID string; empty when it cannot be read
// (a process of another user usually cannot be opened at all).
std::string ProcessUser(DWORD pid) {
  std::string user;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process)
    return user;
  HANDLE token = nullptr;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    char *text = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text)) {
      user = text;
      LocalFree(text);
    }
    CloseHandle(token);
  }
  CloseHandle(process);
  return user;
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine runs a Windows program on the host's own sockets but lists no owning
// process for them: the host's socket tables tell the owner's uid, which is
// compared with the uid wine runs as, as on Linux.
TPeerOwner HostPeerOwner(const TTcpConnection &connection) {
  const std::string procRoot = "Z:/proc";
  const std::optional<uint32_t> uid = ProcNetTcpClientUid(connection, procRoot);
  const std::optional<uint32_t> ownUid = ProcSelfUid(procRoot);
  if (!uid || !ownUid)
    return TPeerOwner{};
  return TPeerOwner{*uid == *ownUid, "uid " + std::to_string(*uid)};
}

} // namespace

// The client's socket is listed with the client's end as its local one.
TPeerOwner PeerOwner(const TTcpConnection &connection) {
  const DWORD pid = OwningProcess(connection.peer, connection.local);
  if (pid == 0)
    return RunningUnderWine() ? HostPeerOwner(connection) : TPeerOwner{};
  const std::string user = ProcessUser(pid);
  const bool thisUser = !user.empty() && user == ProcessUser(GetCurrentProcessId());
  return TPeerOwner{thisUser, "PID " + std::to_string(pid) + (user.empty() ? std::string() : ", " + user)};
}
