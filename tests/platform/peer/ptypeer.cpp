// The device side of the serial tests of the platform layer: a pseudo-terminal
// whose port side is published as a symlink (which wine maps to a COM port),
// driven over a loopback TCP control connection so that a test program under
// wine can steer it. One command per line, one reply line each:
//   PLUG [flow]   new pty behind the link (raw line), echo on; with "flow" the
//                 line comes with XON/XOFF and RTS/CTS handshake on, as another
//                 program may leave a port
//   UNPLUG        close the pty and remove the link: the cable is pulled
//   ECHO 0|1      send every byte back, or keep them for TAKE
//   HOLD 0|1      stop (or resume) reading, so the port's output fills up
//   SEND <hex>    bytes device -> port
//   TAKE <n>      up to n kept bytes, waiting a bounded time for them: OK <hex>
//   LINE          the port side's line settings
//   QUIT
// ptypeer --link PATH --control-file FILE starts it in the background and
// returns once FILE holds the control port; ptypeer --stop FILE ends it.

#include "HexText.h"

// termios2 shows any speed; <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A peer left behind by an interrupted run ends by itself.
constexpr auto KLifetime = 20min;
constexpr auto KTakeWait = 5s;
constexpr auto KSendWait = 2s;
constexpr auto KStartWait = 10s;

class TPeer {
public:
  explicit TPeer(std::string link) : FLink(std::move(link)) {}
  ~TPeer() { Unplug(); }

  bool Plug(bool withFlowControl) {
    Unplug();
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
      return false;
    const std::string port = ptsname(FMaster);
    FSlave = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FSlave < 0)
      return false;
    // Raw before the port is opened: wine takes XON/XOFF from the termios.
    termios2 settings{};
    ioctl(FSlave, TCGETS2, &settings);
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
    settings.c_cflag |= CS8;
    if (withFlowControl) {
      settings.c_iflag |= IXON | IXOFF;
      settings.c_cflag |= CRTSCTS;
    }
    ioctl(FSlave, TCSETS2, &settings);
    unlink(FLink.c_str());
    FEcho = true;
    FHold = false;
    FKept.clear();
    return symlink(port.c_str(), FLink.c_str()) == 0;
  }

  // The held port side keeps the master from seeing a hang-up while no
  // program has the port open.
  void Unplug() {
    if (FMaster < 0)
      return;
    unlink(FLink.c_str());
    close(FMaster);
    if (FSlave >= 0)
      close(FSlave);
    FMaster = FSlave = -1;
  }

  int Master() const { return FHold ? -1 : FMaster; }

  int QueuedAtPort() const {
    int queued = 0;
    return FSlave >= 0 && ioctl(FSlave, FIONREAD, &queued) == 0 ? queued : 0;
  }

  void Pump() {
    char buffer[4096];
    const ssize_t count = FMaster >= 0 ? read(FMaster, buffer, sizeof buffer) : -1;
    if (count <= 0)
      return;
    if (FEcho)
      Send(std::string(buffer, static_cast<size_t>(count)));
    else
      FKept.append(buffer, static_cast<size_t>(count));
  }

  // Returns once the bytes can be read at the port side (or a bounded time
  // has passed), so a test that sends and then opens finds them queued.
  void Send(const std::string &bytes) {
    const int before = QueuedAtPort();
    const auto deadline = Clock::now() + KSendWait;
    for (size_t done = 0; done < bytes.size() && FMaster >= 0 && Clock::now() < deadline;) {
      const ssize_t put = write(FMaster, bytes.data() + done, bytes.size() - done);
      if (put > 0)
        done += static_cast<size_t>(put);
      else if (errno == EAGAIN)
        std::this_thread::sleep_for(1ms);
      else
        return;
    }
    while (QueuedAtPort() < before + static_cast<int>(bytes.size()) && Clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
  }

  std::string Take(size_t count) {
    const auto deadline = Clock::now() + KTakeWait;
    while (FKept.size() < count && FMaster >= 0 && Clock::now() < deadline) {
      pollfd entry{FMaster, POLLIN, 0};
      if (poll(&entry, 1, 10) > 0)
        Pump();
    }
    const std::string taken = FKept.substr(0, count);
    FKept.erase(0, taken.size());
    return taken;
  }

  // Line ioctls on the master act on the port side.
  std::string Line() const {
    termios2 settings{};
    if (FMaster < 0 || ioctl(FMaster, TCGETS2, &settings) != 0)
      return "ERR no line";
    const auto flag = [](tcflag_t value, tcflag_t bit) { return (value & bit) ? "1" : "0"; };
    const int bits = (settings.c_cflag & CSIZE) == CS8 ? 8 : (settings.c_cflag & CSIZE) == CS7 ? 7 : 0;
    return "OK speed=" + std::to_string(settings.c_ospeed) + " bits=" + std::to_string(bits) +
           " parity=" + flag(settings.c_cflag, PARENB) + " twostop=" + flag(settings.c_cflag, CSTOPB) +
           " ixon=" + flag(settings.c_iflag, IXON) + " ixoff=" + flag(settings.c_iflag, IXOFF) +
           " crtscts=" + flag(settings.c_cflag, CRTSCTS);
  }

  std::string Execute(const std::string &line, bool &quit) {
    const std::string command = line.substr(0, line.find(' '));
    const std::string argument = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "PLUG")
      return Plug(argument == "flow") ? "OK" : "ERR " + std::string(std::strerror(errno));
    if (command == "UNPLUG")
      Unplug();
    else if (command == "ECHO")
      FEcho = argument == "1";
    else if (command == "HOLD")
      FHold = argument == "1";
    else if (command == "SEND")
      Send(FromHex(argument));
    else if (command == "TAKE")
      return "OK " + ToHex(Take(std::stoul(argument)));
    else if (command == "LINE")
      return Line();
    else if (command == "QUIT")
      quit = true;
    else
      return "ERR unknown command";
    return "OK";
  }

private:
  std::string FLink;
  int FMaster = -1;
  int FSlave = -1;
  bool FEcho = true;
  bool FHold = false;
  std::string FKept;
};

int ListenOnLoopback() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 1) != 0)
    return -1;
  return fd;
}

int PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  return ntohs(address.sin_port);
}

void PublishPort(const std::string &file, int port) {
  const std::string temporary = file + ".tmp";
  std::ofstream(temporary) << port << "\n";
  rename(temporary.c_str(), file.c_str());
}

// Serves one control connection at a time until QUIT or the lifetime ends.
void Serve(TPeer &peer, int listener) {
  const auto end = Clock::now() + KLifetime;
  int client = -1;
  std::string input;
  bool quit = false;
  while (!quit && Clock::now() < end) {
    pollfd entries[3] = {{listener, POLLIN, 0}, {client, POLLIN, 0}, {peer.Master(), POLLIN, 0}};
    if (poll(entries, 3, 100) <= 0)
      continue;
    if (entries[0].revents & POLLIN) {
      const int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0)
        close(client);
      client = accepted;
      input.clear();
    }
    if (entries[2].revents & POLLIN)
      peer.Pump();
    if (client < 0 || !(entries[1].revents & (POLLIN | POLLHUP)))
      continue;
    char buffer[4096];
    const ssize_t count = read(client, buffer, sizeof buffer);
    if (count <= 0) {
      close(client);
      client = -1;
      continue;
    }
    input.append(buffer, static_cast<size_t>(count));
    for (size_t newline; !quit && (newline = input.find('\n')) != std::string::npos;) {
      std::string line = input.substr(0, newline);
      input.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      const std::string reply = peer.Execute(line, quit) + "\n";
      if (write(client, reply.data(), reply.size()) < 0)
        break;
    }
  }
  if (client >= 0)
    close(client);
}

int Start(const std::string &link, const std::string &controlFile) {
  unlink(controlFile.c_str());
  const pid_t child = fork();
  if (child < 0)
    return 1;
  if (child == 0) {
    setsid();
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
      dup2(null, fd);
    signal(SIGPIPE, SIG_IGN);
    TPeer peer(link);
    const int listener = ListenOnLoopback();
    if (listener < 0 || !peer.Plug(false))
      _exit(1);
    PublishPort(controlFile, PortOf(listener));
    Serve(peer, listener);
    _exit(0);
  }
  const auto deadline = Clock::now() + KStartWait;
  while (Clock::now() < deadline) {
    if (access(controlFile.c_str(), F_OK) == 0)
      return 0;
    std::this_thread::sleep_for(10ms);
  }
  kill(child, SIGKILL);
  std::fprintf(stderr, "ptypeer: no control port within the start time\n");
  return 1;
}

int Stop(const std::string &controlFile) {
  int port = 0;
  std::ifstream(controlFile) >> port;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (port > 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    const char quit[] = "QUIT\n";
    if (write(fd, quit, sizeof quit - 1) > 0) {
      char reply[16];
      (void)!read(fd, reply, sizeof reply);
    }
  }
  close(fd);
  unlink(controlFile.c_str());
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc == 3 && mode == "--stop")
    return Stop(argv[2]);
  if (argc == 5 && mode == "--link" && std::string(argv[3]) == "--control-file")
    return Start(argv[2], argv[4]);
  std::fprintf(stderr, "usage: ptypeer --link PATH --control-file FILE | ptypeer --stop FILE\n");
  return 2;
}
