#include "platform/ProcNetTcp.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// Columns of a socket's line: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...".
constexpr size_t kLocalColumn = 1;
constexpr size_t kRemoteColumn = 2;
constexpr size_t kUidColumn = 7;
constexpr size_t kInodeColumn = 9;

std::vector<std::string_view> Columns(std::string_view line) {
  std::vector<std::string_view> columns;
  size_t start = line.find_first_not_of(' ');
  while (start != std::string_view::npos) {
    const size_t end = line.find(' ', start);
    columns.push_back(line.substr(start, end - start));
    start = line.find_first_not_of(' ', end);
  }
  return columns;
}

template <typename TNumber> std::optional<TNumber> Number(std::string_view text, int base) {
  TNumber value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

// The kernel prints each 32-bit word of an address as the hex of the word
// that holds its bytes in network order, read in the machine's own order.
std::optional<std::array<uint8_t, 4>> AddressWord(std::string_view hex) {
  const std::optional<uint32_t> word = Number<uint32_t>(hex, 16);
  if (hex.size() != 8 || !word)
    return std::nullopt;
  std::array<uint8_t, 4> bytes;
  std::memcpy(bytes.data(), &*word, bytes.size());
  return bytes;
}

// "0100007F:D0D6" (tcp) or 32 hex digits and a port (tcp6, IPv4-mapped
// addresses only).
std::optional<TTcpEndpoint> Endpoint(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || (colon != 8 && colon != 32))
    return std::nullopt;
  const std::optional<uint16_t> port = Number<uint16_t>(text.substr(colon + 1), 16);
  std::array<uint8_t, 16> address{};
  const size_t words = colon / 8;
  for (size_t i = 0; i < words; ++i) {
    const std::optional<std::array<uint8_t, 4>> word = AddressWord(text.substr(i * 8, 8));
    if (!word)
      return std::nullopt;
    std::memcpy(address.data() + (4 - words + i) * 4, word->data(), 4);
  }
  if (words == 4) {
    static constexpr std::array<uint8_t, 12> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(address.data(), mapped.data(), mapped.size()) != 0)
      return std::nullopt;
  }
  if (!port)
    return std::nullopt;
  const uint32_t v4 = uint32_t(address[12]) << 24 | uint32_t(address[13]) << 16 | uint32_t(address[14]) << 8 |
                      uint32_t(address[15]);
  return TTcpEndpoint{v4, *port};
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Same(const std::optional<TTcpEndpoint> &listed, const TTcpEndpoint &wanted) {
  return listed && listed->address == wanted.address && listed->port == wanted.port;
}

} // namespace

std::optional<uint32_t> ProcNetTcpOwner(std::string_view table, const TTcpEndpoint &local,
                                        const TTcpEndpoint &remote) {
  size_t start = 0;
  while (start < table.size()) {
    const size_t end = std::min(table.find('\n', start), table.size());
    const std::vector<std::string_view> columns = Columns(table.substr(start, end - start));
    start = end + 1;
    if (columns.size() <= kInodeColumn || !Same(Endpoint(columns[kLocalColumn]), local) ||
        !Same(Endpoint(columns[kRemoteColumn]), remote))
      continue;
    const std::optional<uint32_t> uid = Number<uint32_t>(columns[kUidColumn], 10);
    const std::optional<uint64_t> inode = Number<uint64_t>(columns[kInodeColumn], 10);
    if (uid && inode && *inode != 0)
      return uid;
  }
  return std::nullopt;
}

std::optional<uint32_t> ProcNetTcpClientUid(const TTcpConnection &connection, const std::string &procRoot) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (const char *table : {"/net/tcp", "/net/tcp6"}) {
      if (const std::optional<uint32_t> uid = ProcNetTcpOwner(ReadText(procRoot + table), connection.peer, connection.local))
        return uid;
    }
  }
  return std::nullopt;
}

// "Uid:" then the real, effective, saved and file-system uids, tab-separated.
std::optional<uint32_t> ProcSelfUid(const std::string &procRoot) {
  std::string status = ReadText(procRoot + "/self/status");
  const size_t start = status.find("\nUid:");
  if (start == std::string::npos)
    return std::nullopt;
  std::string line = status.substr(start + 1, status.find('\n', start + 1) - start - 1);
  std::replace(line.begin(), line.end(), '\t', ' ');
  const std::vector<std::string_view> columns = Columns(line);
  return columns.size() >= 3 ? Number<uint32_t>(columns[2], 10) : std::nullopt;
}
