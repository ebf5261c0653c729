#include "PtyPair.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

// Waits for `events` on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, const QDeadlineTimer &deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready =
        poll(&entry, 1, static_cast<int>(deadline.remainingTime()));
    if (ready < 0 && errno == EINTR)
      continue;
    return ready > 0 && (entry.revents & events) != 0;
  }
}

} // namespace

TPtyPair::TPtyPair(const QString &linkName) {
  if (!FDir.isValid())
    return;
  // The port side keeps the kernel's defaults (echo, canonical mode, IXON),
  // as a freshly plugged adapter comes: making it raw is the wizard's job.
  char slaveName[256] = {};
  if (openpty(&FMaster, &FSlave, slaveName, nullptr, nullptr) != 0) {
    FMaster = FSlave = -1;
    return;
  }
  fcntl(FMaster, F_SETFD, FD_CLOEXEC);
  fcntl(FSlave, F_SETFD, FD_CLOEXEC);
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  const QString link = FDir.filePath(linkName);
  if (symlink(slaveName, link.toLocal8Bit().constData()) == 0)
    FLinkPath = link;
}

TPtyPair::~TPtyPair() {
  if (!FLinkPath.isEmpty())
    unlink(FLinkPath.toLocal8Bit().constData());
  if (FSlave >= 0)
    close(FSlave);
  if (FMaster >= 0)
    close(FMaster);
}

bool TPtyPair::Send(const QByteArray &bytes, int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  qsizetype sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count =
        write(FMaster, bytes.constData() + sent, bytes.size() - sent);
    if (count > 0) {
      sent += count;
      continue;
    }
    if (count < 0 && errno != EINTR && errno != EAGAIN)
      return false;
    if (!WaitFor(FMaster, POLLOUT, deadline))
      return false;
  }
  return true;
}

QByteArray TPtyPair::Receive(int count, int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  QByteArray received;
  while (received.size() < count) {
    received += ReceiveAvailable();
    if (received.size() >= count || !WaitFor(FMaster, POLLIN, deadline))
      break;
  }
  return received;
}

QByteArray TPtyPair::ReceiveAvailable() {
  QByteArray received;
  char chunk[4096];
  for (;;) {
    const ssize_t count = read(FMaster, chunk, sizeof chunk);
    if (count > 0)
      received.append(chunk, count);
    else if (count < 0 && errno == EINTR)
      continue;
    else
      return received;
  }
}
