#include "platform/PeerOwner.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <vector>

namespace {

bool Same(DWORD address, DWORD port, const TTcpEndpoint &end) {
  return ntohl(address) == end.address && ntohs(static_cast<u_short>(port)) == end.port;
}

// The process that owns the TCP socket with these ends; 0 when none is listed.
DWORD OwningProcess(const TTcpEndpoint &local, const TTcpEndpoint &remote) {
  std::vector<unsigned char> buffer;
  ULONG size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  while (result == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(size);
    result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                                 TCP_TABLE_OWNER_PID_ALL, 0);
  }
  if (result != NO_ERROR)
    return 0;
  const auto *table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID &row = table->table[i];
    if (Same(row.dwLocalAddr, row.dwLocalPort, local) && Same(row.dwRemoteAddr, row.dwRemotePort, remote))
      return row.dwOwningPid;
  }
  return 0;
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

} // namespace

// The client's socket is listed with the client's end as its local one.
TPeerOwner PeerOwner(const TTcpConnection &connection) {
  const DWORD pid = OwningProcess(connection.peer, connection.local);
  if (pid == 0)
    return TPeerOwner{};
  const std::string user = ProcessUser(pid);
  const bool thisUser = !user.empty() && user == ProcessUser(GetCurrentProcessId());
  return TPeerOwner{thisUser, "PID " + std::to_string(pid) + (user.empty() ? std::string() : ", " + user)};
}
