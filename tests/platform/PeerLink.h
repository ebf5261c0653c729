#pragma once
// The test's end of the control connection to ptypeer, the device behind the
// test port.

#include <cstdint>
#include <string>

class TPeerLink {
public:
  // Connects to the peer whose control port the file TANDREL_PEER_FILE holds.
  TPeerLink();
  ~TPeerLink();
  TPeerLink(const TPeerLink &) = delete;
  TPeerLink &operator=(const TPeerLink &) = delete;

  bool IsConnected() const { return FSocket != KNoSocket; }
  // Sends one command line, returns the reply line ("OK ..." or "ERR ...").
  std::string Command(const std::string &line);

  // Device -> port.
  void Send(const std::string &bytes);
  // Port -> device with echo off: up to `count` bytes, waiting a bounded time.
  std::string Take(size_t count);

private:
  static constexpr intptr_t KNoSocket = -1;
  intptr_t FSocket = KNoSocket;
};

// The name to open as the test port: COM7 on Windows, the peer's link path
// elsewhere.
std::string TestPortName();
