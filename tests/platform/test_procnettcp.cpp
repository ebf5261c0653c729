// Finding a client socket's owner in the text of /proc/net/tcp and tcp6
// (the addresses below are as a little-endian machine lists them).

#include "platform/ProcNetTcp.h"

#include <doctest.h>

#include <string>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint16_t kBridgePort = 53462; // D0D6

const std::string kHeader = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
                            "timeout inode\n";
const std::string kTail = " 1 0000000000000000 20 4 30 10 -1\n";

// A socket's line with its ends, state, uid and inode.
std::string Line(const std::string &local, const std::string &remote, const char *state, const char *uid,
                 const char *inode) {
  return "   0: " + local + " " + remote + " " + state + " 00000000:00000000 00:00000000 00000000 " + uid +
         "        0 " + inode + kTail;
}

const std::string kBridge = "0100007F:D0D6";
const std::string kTcp = kHeader +
                         // the listening bridge, root's
                         Line(kBridge, "00000000:0000", "0A", "0", "31415") +
                         // a client of uid 1000 on port 40000, and the bridge's end of it
                         Line("0100007F:9C40", kBridge, "01", "1000", "27182") +
                         Line(kBridge, "0100007F:9C40", "01", "0", "16180") +
                         // a client on port 40001 that has closed: TIME_WAIT, no owner
                         Line("0100007F:9C41", kBridge, "06", "0", "0") +
                         // a line cut short, and one with an address that is no number
                         "   5: 0100007F:9C43 0100007F:D0D6 01\n" + Line("0100007G:9C43", kBridge, "01", "7", "5");
const std::string kMappedBridge = "0000000000000000FFFF00000100007F:D0D6";
const std::string kTcp6 = kHeader +
                          // an IPv6 socket of uid 1001 that reached the bridge through ::ffff:127.0.0.1
                          Line("0000000000000000FFFF00000100007F:9C42", kMappedBridge, "01", "1001", "99") +
                          // ::1 on the same port numbers is another address
                          Line("00000000000000000000000001000000:9C43", "00000000000000000000000001000000:D0D6",
                               "01", "1002", "98");

struct TCase {
  const char *name;
  const std::string *table;
  uint16_t clientPort;
  std::optional<uint32_t> uid;
};

} // namespace

TEST_CASE("the owner of a client's socket is read from the socket tables") {
  const TCase cases[] = {
      {"the client's own socket, not the bridge's end of it", &kTcp, 40000, 1000},
      {"a closed client in TIME_WAIT has no owner", &kTcp, 40001, std::nullopt},
      {"an IPv4-mapped client in tcp6", &kTcp6, 40002, 1001},
      {"an IPv6 loopback client is another address", &kTcp6, 40003, std::nullopt},
      {"lines that cannot be read are skipped", &kTcp, 40003, std::nullopt},
      {"a client that is not listed", &kTcp, 40009, std::nullopt},
      {"a table with its header only", &kHeader, 40000, std::nullopt},
  };
  for (const TCase &c : cases) {
    CAPTURE(c.name);
    CHECK(ProcNetTcpOwner(*c.table, {kLoopback, c.clientPort}, {kLoopback, kBridgePort}) == c.uid);
  }
}
