// The serial contract on a port whose device side is ptypeer: natively on the
// POSIX backend, under wine on the Win32 backend (the port is COM12 there,
// so the device namespace prefix is needed).

#include "PeerLink.h"
#include "Skip.h"

#include "serial/COMUtils.h"

#include <doctest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto KArrivalWait = 5s;

// A freshly plugged peer that echoes, and the test port opened at 19200.
struct TOpenPort {
  TPeerLink peer;
  TCOMHandle handle = INVALID_HANDLE_VALUE;

  TOpenPort() {
    REQUIRE(peer.IsConnected());
    REQUIRE(peer.Command("PLUG") == "OK");
    REQUIRE(OpenCOM(TestPortName(), 19200, handle));
  }
  ~TOpenPort() { CloseCOM(handle); }

  // Reads until `count` bytes came or the wait is over.
  std::string ReadUntil(size_t count) const {
    std::string bytes;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + KArrivalWait;
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
      const int32_t n = ReadCOM(handle, buffer, sizeof buffer);
      REQUIRE(n >= 0);
      bytes.append(buffer, static_cast<size_t>(n));
      if (n == 0)
        std::this_thread::sleep_for(1ms);
    }
    return bytes;
  }

  // Writes all of `bytes` in as many calls as the driver needs.
  void WriteAll(const std::string &bytes) const {
    for (size_t done = 0; done < bytes.size();) {
      const int32_t n = WriteCOM(handle, bytes.data() + done, static_cast<int32_t>(bytes.size() - done));
      REQUIRE(n >= 0);
      done += static_cast<size_t>(n);
    }
  }
};

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i)
    bytes += static_cast<char>(i);
  return bytes;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

} // namespace

TEST_CASE("an opened port is 8N1 at the asked speed without flow control, its stale input purged") {
  TPeerLink peer;
  REQUIRE(peer.IsConnected());
  // Left by another program with XON/XOFF and RTS/CTS handshake on.
  REQUIRE(peer.Command("PLUG flow") == "OK");
  REQUIRE(peer.Command("LINE").find(" ixon=1 ixoff=1 crtscts=1") != std::string::npos);
  REQUIRE(peer.Command("ECHO 0") == "OK");
  for (const int speed : {9600, 19200, 115200}) {
    CAPTURE(speed);
    peer.Send("stale bytes");
    TCOMHandle handle = INVALID_HANDLE_VALUE;
    TSerialError error;
    REQUIRE(OpenCOM(TestPortName(), speed, handle, &error));
    CHECK_FALSE(error);
    CHECK(peer.Command("LINE") == "OK speed=" + std::to_string(speed) +
                                      " bits=8 parity=0 twostop=0 ixon=0 ixoff=0 crtscts=0");
    char buffer[64];
    CHECK(ReadCOM(handle, buffer, sizeof buffer) == 0);
    CHECK(CloseCOM(handle));
    CHECK(handle == INVALID_HANDLE_VALUE);
  }
}

TEST_CASE("a speed without a standard line constant is set exactly" *
          SkipUnderWine(__FILE__, "wine sets 38400 for a speed that has no termios constant; "
                                  "the POSIX backend's termios2 path is tested natively")) {
  TOpenPort port;
  for (const int speed : {14400, 28800, 56000, 128000, 256000}) {
    CAPTURE(speed);
    CHECK(ConfigureCOM(port.handle, speed));
    CHECK(GetCOMSpeed(port.handle) == speed);
  }
}

TEST_CASE("a port that is open cannot be opened a second time" *
          SkipUnderWine(__FILE__, "wine grants a second CreateFileW of an open serial port; "
                                  "the exclusive open is tested natively")) {
  TOpenPort port;
  TCOMHandle second = INVALID_HANDLE_VALUE;
  TSerialError error;
  CHECK_FALSE(OpenCOM(TestPortName(), 19200, second, &error));
  CHECK(second == INVALID_HANDLE_VALUE);
  CHECK(error.kind == TSerialError::TKind::Busy);
  CHECK_FALSE(error.text.empty());
}

TEST_CASE("every byte value crosses both ways untranslated") {
  TOpenPort port;
  const std::string bytes = AllByteValues() + "\r\n\x11\x13\x00\xff"; // flow-control and line-end bytes too
  port.WriteAll(bytes);
  CHECK(port.ReadUntil(bytes.size()) == bytes);
}

TEST_CASE("a read takes what is queued, no more than the buffer holds, and leaves the rest queued") {
  TOpenPort port;
  REQUIRE(port.peer.Command("ECHO 0") == "OK");
  const std::string bytes = Pattern(100);
  port.peer.Send(bytes);
  char buffer[100];
  REQUIRE(ReadCOM(port.handle, buffer, 10) == 10);
  CHECK(std::string(buffer, 10) == bytes.substr(0, 10));
  CHECK(port.ReadUntil(90) == bytes.substr(10));
  CHECK(ReadCOM(port.handle, buffer, sizeof buffer) == 0);

  // The driver's queues tell what waits without reading it.
  port.peer.Send(bytes.substr(0, 7));
  TCOMQueues queues;
  REQUIRE(QueryCOMQueues(port.handle, queues));
  CHECK(queues.input == 7);
  CHECK(queues.output == 0);
  CHECK(port.ReadUntil(7) == bytes.substr(0, 7));

  port.peer.Send(std::string("O\0K", 3));
  std::string text;
  for (int i = 0; i < 100 && text.size() < 3; ++i)
    text += ReadCOMString(port.handle);
  CHECK(text == "O K");
}

TEST_CASE("a write never waits: a full line takes nothing, and what it took arrives whole and in order") {
  TOpenPort port;
  REQUIRE(port.peer.Command("ECHO 0") == "OK");
  REQUIRE(port.peer.Command("HOLD 1") == "OK");
  const std::string chunk = Pattern(65536);
  std::string taken;
  int32_t n = 1;
  for (int call = 0; call < 1000 && n > 0; ++call) {
    n = WriteCOM(port.handle, chunk.data(), static_cast<int32_t>(chunk.size()));
    REQUIRE(n >= 0);
    taken += chunk.substr(0, static_cast<size_t>(n));
  }
  CHECK(n == 0);
  CHECK_FALSE(taken.empty());
  REQUIRE(port.peer.Command("HOLD 0") == "OK");
  CHECK(port.peer.Take(taken.size()) == taken);
}

TEST_CASE("a pulled cable fails the write and reads as nothing, both saying the port is gone; it opens again once back") {
  TOpenPort port;
  REQUIRE(port.peer.Command("UNPLUG") == "OK");
  TSerialError writeError;
  CHECK(WriteCOM(port.handle, "x", 1, &writeError) == -1);
  INFO("the write's error: " << writeError.text);
  CHECK(writeError.kind == TSerialError::TKind::Gone);
  CHECK_FALSE(writeError.text.empty());
  CHECK(WriteCOMString(port.handle, "AT\r\n") == 0);
  char buffer[16];
  TSerialError readError;
  CHECK(ReadCOM(port.handle, buffer, sizeof buffer, &readError) == 0);
  INFO("the read's error: " << readError.text);
  CHECK(readError.kind == TSerialError::TKind::Gone);
  CHECK(CloseCOM(port.handle));

  TSerialError openError;
  CHECK_FALSE(OpenCOM(TestPortName(), 19200, port.handle, &openError));
  CHECK(port.handle == INVALID_HANDLE_VALUE);
  CHECK(openError.kind == TSerialError::TKind::Gone);

  REQUIRE(port.peer.Command("PLUG") == "OK");
  REQUIRE(OpenCOM(TestPortName(), 19200, port.handle));
  TSerialError none;
  CHECK(ReadCOM(port.handle, buffer, sizeof buffer, &none) == 0);
  CHECK_FALSE(none);
  port.WriteAll("back");
  CHECK(port.ReadUntil(4) == "back");
}

TEST_CASE("no port: reads give nothing, writes fail, closing changes nothing") {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  char buffer[16];
  TCOMQueues queues;
  CHECK_FALSE(QueryCOMQueues(handle, queues));
  CHECK(ReadCOM(handle, buffer, sizeof buffer) == 0);
  CHECK(ReadCOMString(handle).empty());
  CHECK(WriteCOM(handle, "x", 1) == -1);
  CHECK(WriteCOMString(handle, "") == 0);
  CHECK(CloseCOM(handle));
  CHECK(handle == INVALID_HANDLE_VALUE);
  CHECK_FALSE(OpenCOM(TestPortName() + "-missing", 19200, handle));
  CHECK(handle == INVALID_HANDLE_VALUE);
}
