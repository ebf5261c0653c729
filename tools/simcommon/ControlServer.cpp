#include "ControlServer.h"

#include "Sockets.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

TControlServer::TControlServer(std::string path, TCommandHandler handler)
    : FPath(std::move(path)), FHandler(std::move(handler)) {}

TControlServer::~TControlServer() {
  for (const auto &client : FClientInput)
    close(client.first);
  if (FListener >= 0) {
    close(FListener);
    unlink(FPath.c_str());
  }
}

void TControlServer::Listen() {
  sockaddr_un address;
  if (!UnixAddress(FPath, address))
    throw std::runtime_error("control path too long: " + FPath);
  FListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListener < 0)
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  unlink(FPath.c_str()); // a socket left behind by an earlier run
  if (bind(FListener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(FListener, 4) != 0)
    throw std::runtime_error("control socket " + FPath + ": " + std::strerror(errno));
}

void TControlServer::AddTo(TPollSet &set) {
  set.Add(FListener, POLLIN, [this](short) { Accept(); });
  for (const auto &client : FClientInput) {
    const int fd = client.first;
    set.Add(fd, POLLIN, [this, fd](short) { ServeClient(fd); });
  }
}

void TControlServer::Accept() {
  const int fd = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0)
    FClientInput[fd];
}

void TControlServer::ServeClient(int fd) {
  char buffer[1024];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) {
    DropClient(fd);
    return;
  }
  std::string &input = FClientInput[fd];
  input.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = input.find('\n')) != std::string::npos;) {
    std::string line = input.substr(0, end);
    input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    // Replies are short; a client that stops reading only loses its own replies.
    SendAll(fd, FHandler(line) + "\n");
  }
}

void TControlServer::DropClient(int fd) {
  close(fd);
  FClientInput.erase(fd);
}
