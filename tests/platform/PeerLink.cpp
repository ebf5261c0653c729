#include "PeerLink.h"

#include "PeerSocket.h"
#include "peer/HexText.h"

#include <fstream>

namespace {

std::string ControlPortText() {
  std::ifstream file(TANDREL_PEER_FILE);
  std::string port;
  file >> port;
  return port;
}

} // namespace

TPeerLink::TPeerLink() : FSocket(ConnectToLoopback(ControlPortText())) {}

TPeerLink::~TPeerLink() { CloseSocket(FSocket); }

std::string TPeerLink::Command(const std::string &line) {
  if (!IsConnected() || !SendText(FSocket, line + "\n"))
    return "ERR not connected";
  std::string reply;
  char c = 0;
  while (ReceiveByte(FSocket, c) && c != '\n')
    reply += c;
  return reply;
}

void TPeerLink::Send(const std::string &bytes) { Command("SEND " + ToHex(bytes)); }

std::string TPeerLink::Take(size_t count) {
  const std::string reply = Command("TAKE " + std::to_string(count));
  return reply.rfind("OK ", 0) == 0 ? FromHex(reply.substr(3)) : std::string();
}

std::string TestPortName() { return TANDREL_TEST_PORT; }
