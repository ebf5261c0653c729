#include "platform/QuitSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

int FPipe[2] = {-1, -1};

void OnQuitSignal(int signal) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(signal);
  // A full pipe already holds a request: the byte may be dropped.
  [[maybe_unused]] const ssize_t written = write(FPipe[1], &byte, 1);
  errno = savedErrno;
}

bool InstallHandlers() {
  if (pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    if (sigaction(signal, &action, nullptr) != 0)
      return false;
  }
  return true;
}

} // namespace

int QuitSignalDescriptor() {
  static const bool installed = InstallHandlers();
  return installed ? FPipe[0] : -1;
}

bool TakeQuitRequests() {
  bool requested = false;
  char bytes[64];
  for (;;) {
    const ssize_t got = read(FPipe[0], bytes, sizeof bytes);
    if (got > 0)
      requested = true;
    else if (got < 0 && errno == EINTR)
      continue;
    else
      return requested;
  }
}
