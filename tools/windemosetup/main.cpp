// Windows demo setup program. Started by the wizard with no arguments, it
// connects to the bridge on 127.0.0.1, sends "PING" and shows the device's
// answer in a message box.
//
// The bridge's port is the first argument, else DEMOSETUP_PORT, else the
// wizard's default. With DEMOSETUP_ECHO=N it is a test client instead: it
// sends N bytes of a pattern, expects the same N bytes back (a device in
// echo mode), writes "ok N" or what went wrong to the file DEMOSETUP_RESULT,
// and then stays connected until it is ended or the bridge closes; its exit
// code is 0 only when the echo was exact.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned short KDefaultPort = 53462;
constexpr DWORD KRetryMs = 500;
// How long the echo client tries to reach the bridge and waits for the echo.
constexpr DWORD KEchoConnectMs = 120000;
constexpr DWORD KAnswerMs = 10000;

std::string Environment(const char *name) {
  char value[1024];
  const DWORD size = GetEnvironmentVariableA(name, value, sizeof value);
  return size > 0 && size < sizeof value ? std::string(value, size) : std::string();
}

unsigned short PortFrom(const std::string &text) {
  char *end = nullptr;
  const unsigned long port = text.empty() ? 0 : std::strtoul(text.c_str(), &end, 10);
  return end && *end == '\0' && port > 0 && port <= 65535 ? static_cast<unsigned short>(port) : 0;
}

unsigned short BridgePort(int argc, char **argv) {
  unsigned short port = argc > 1 ? PortFrom(argv[1]) : 0;
  if (port == 0)
    port = PortFrom(Environment("DEMOSETUP_PORT"));
  return port != 0 ? port : KDefaultPort;
}

// Connects to the bridge, retrying while it is not listening, for up to
// `limitMs` (INFINITE: until ended).
SOCKET ConnectToBridge(unsigned short port, DWORD limitMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (link == INVALID_SOCKET)
      return INVALID_SOCKET;
    sockaddr_in bridge{};
    bridge.sin_family = AF_INET;
    bridge.sin_port = htons(port);
    bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(link, reinterpret_cast<sockaddr *>(&bridge), sizeof bridge) == 0)
      return link;
    closesocket(link);
    if (limitMs != INFINITE && GetTickCount() - start >= limitMs)
      return INVALID_SOCKET;
    Sleep(KRetryMs);
  }
}

bool SendAll(SOCKET link, const char *bytes, int size) {
  while (size > 0) {
    const int sent = send(link, bytes, size, 0);
    if (sent <= 0)
      return false;
    bytes += sent;
    size -= sent;
  }
  return true;
}

void SetReceiveTimeout(SOCKET link, DWORD ms) {
  setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&ms), sizeof ms);
}

void WriteResult(const std::string &text) {
  const std::string path = Environment("DEMOSETUP_RESULT");
  std::printf("%s\n", text.c_str());
  if (path.empty())
    return;
  if (FILE *file = std::fopen(path.c_str(), "wb")) {
    std::fprintf(file, "%s\n", text.c_str());
    std::fclose(file);
  }
}

// The echo client; true when every byte came back in order. The pattern
// holds every byte value, XON and XOFF included.
bool EchoExactly(SOCKET link, int count) {
  std::string sent(static_cast<size_t>(count), '\0');
  for (int i = 0; i < count; ++i)
    sent[static_cast<size_t>(i)] = static_cast<char>((i * 7919) >> 3);
  if (!SendAll(link, sent.data(), count)) {
    WriteResult("send failed");
    return false;
  }
  SetReceiveTimeout(link, KAnswerMs);
  std::string received;
  char chunk[8192];
  while (static_cast<int>(received.size()) < count) {
    const int got = recv(link, chunk, sizeof chunk, 0);
    if (got <= 0)
      break;
    received.append(chunk, static_cast<size_t>(got));
  }
  if (received == sent) {
    WriteResult("ok " + std::to_string(count));
    return true;
  }
  size_t offset = 0;
  while (offset < received.size() && offset < sent.size() && received[offset] == sent[offset])
    ++offset;
  WriteResult("mismatch " + std::to_string(received.size()) + " bytes, first difference at " + std::to_string(offset));
  return false;
}

// Waits until the bridge closes the link (or the program is ended).
void StayConnected(SOCKET link) {
  SetReceiveTimeout(link, 0);
  char chunk[256];
  while (recv(link, chunk, sizeof chunk, 0) > 0) {
  }
}

std::wstring Wide(const std::string &text) {
  std::wstring wide(text.size(), L'\0');
  for (size_t i = 0; i < text.size(); ++i)
    wide[i] = static_cast<unsigned char>(text[i]);
  return wide;
}

// The demo: PING, then the answer (or the lack of one) in a message box.
int Demo(unsigned short port) {
  const wchar_t *caption = L"Демо-программа настройки (Windows)";
  std::printf("Connecting to the bridge on 127.0.0.1:%u\n", port);
  std::fflush(stdout);
  const SOCKET link = ConnectToBridge(port, INFINITE);
  if (link == INVALID_SOCKET)
    return 1;
  std::string answer;
  if (SendAll(link, "PING\r\n", 6)) {
    SetReceiveTimeout(link, KAnswerMs);
    char chunk[256];
    int got = 0;
    while (answer.find("\r\n") == std::string::npos && (got = recv(link, chunk, sizeof chunk, 0)) > 0)
      answer.append(chunk, static_cast<size_t>(got));
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == '\n'))
    answer.pop_back();
  std::printf("PING -> %s\n", answer.empty() ? "(no answer)" : answer.c_str());
  std::fflush(stdout);
  const std::wstring text = answer.empty() ? std::wstring(L"Прибор не ответил на PING.")
                                           : L"Запрос: PING\nОтвет прибора: " + Wide(answer);
  MessageBoxW(nullptr, text.c_str(), caption, answer.empty() ? MB_ICONWARNING : MB_ICONINFORMATION);
  closesocket(link);
  return answer.empty() ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
    return 2;
  const unsigned short port = BridgePort(argc, argv);
  const int echoCount = std::atoi(Environment("DEMOSETUP_ECHO").c_str());
  int code = 0;
  if (echoCount > 0) {
    const SOCKET link = ConnectToBridge(port, KEchoConnectMs);
    if (link == INVALID_SOCKET) {
      WriteResult("no bridge");
      code = 1;
    } else {
      code = EchoExactly(link, echoCount) ? 0 : 1;
      StayConnected(link);
      closesocket(link);
    }
  } else {
    code = Demo(port);
  }
  WSACleanup();
  return code;
}
