// Serial port backend for POSIX systems: a file descriptor is the handle.

#include "serial/COMUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Grace time for the drain on close, on top of what the queued bytes need.
constexpr milliseconds KDrainGrace{1000};
constexpr milliseconds KDrainPollInterval{5};
constexpr int64_t KBitsPerByte = 10; // 8N1: start, 8 data, stop

std::string SystemMessage(int error) {
  return std::generic_category().message(error);
}

// The one place where errno becomes the caller's vocabulary.
TSerialError::TKind KindOf(int error) {
  switch (error) {
  case ENOENT:
  case ENXIO:
  case ENODEV:
  case EIO:
  case EBADF:
    return TSerialError::TKind::Gone;
  case EBUSY:
  case EWOULDBLOCK:
    return TSerialError::TKind::Busy;
  case EACCES:
  case EPERM:
    return TSerialError::TKind::Denied;
  default:
    return TSerialError::TKind::Other;
  }
}

void Report(TSerialError *error, int code) {
  if (error)
    *error = TSerialError{KindOf(code), SystemMessage(code)};
}

// What the user needs to hear beyond the system's text when a port will not open.
std::string OpenErrorText(int error) {
  switch (error) {
  case EACCES:
    return SystemMessage(error) + " (пользователь не входит в группу dialout?)";
  case EBUSY:
  case EWOULDBLOCK:
    return SystemMessage(EBUSY) + " (порт уже используется)";
  case ENOTTY:
    return SystemMessage(error) + " (это не последовательный порт)";
  default:
    return SystemMessage(error);
  }
}

bool FailOpen(int fd, int code, TSerialError *error) {
  if (error)
    *error = TSerialError{KindOf(code), OpenErrorText(code)};
  if (fd >= 0)
    close(fd);
  return false;
}

// A tty whose other end is gone (a pulled adapter, a pty whose master was
// closed) reads as hung up.
bool HungUp(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A raw 8N1 local line without flow control. A new tty comes with IXON on,
// which would swallow the 0x11/0x13 bytes of binary data and let the device
// stop our output; RTS is driven by the wizard itself, so no CRTSCTS either.
void MakeRaw8N1(termios &settings) {
  settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                        ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  // Reads never wait, whatever the descriptor's blocking mode.
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

// DTR low, RTS high. A pty has no modem lines, so the results do not matter.
void SetModemLines(int fd) {
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &dtr);
  ioctl(fd, TIOCMBIS, &rts);
}

int QueuedOutput(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

milliseconds TimeToSend(int bytes, int32_t baudRate) {
  if (baudRate <= 0)
    return milliseconds{0};
  return milliseconds{bytes * KBitsPerByte * 1000 / baudRate};
}

// Waits until the queued output is sent, but never for ever: a line held by
// flow control would otherwise block the close.
void DrainOutput(int fd) {
  const int queued = QueuedOutput(fd);
  if (queued <= 0)
    return;
  const auto deadline =
      Clock::now() + KDrainGrace + TimeToSend(queued, GetCOMSpeed(fd));
  while (QueuedOutput(fd) > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(KDrainPollInterval);
}

} // namespace

bool ConfigureCOM(TCOMHandle h, int32_t baudRate) {
  termios settings{};
  if (tcgetattr(h, &settings) != 0)
    return false;
  MakeRaw8N1(settings);
  if (tcsetattr(h, TCSANOW, &settings) != 0)
    return false;
  return SetCOMSpeed(h, baudRate);
}

bool OpenCOM(const std::string &name, int32_t baudRate, TCOMHandle &handle, TSerialError *error) {
  handle = INVALID_HANDLE_VALUE;
  if (error)
    *error = {};
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return FailOpen(fd, errno, error);
  // flock binds root and other handles of this process too; TIOCEXCL keeps
  // out programs that do not lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return FailOpen(fd, errno, error);
  ioctl(fd, TIOCEXCL);
  if (!ConfigureCOM(fd, baudRate) || tcflush(fd, TCIOFLUSH) != 0)
    return FailOpen(fd, errno, error);
  SetModemLines(fd);
  handle = fd;
  return true;
}

bool CloseCOM(TCOMHandle &handle) {
  if (handle == INVALID_HANDLE_VALUE)
    return true;
  // What the line could not send in time is discarded, so close() does not
  // block on it; a flush of a drained pty would drop what the device has not
  // read yet, so only leftovers are flushed.
  DrainOutput(handle);
  if (QueuedOutput(handle) > 0)
    tcflush(handle, TCOFLUSH);
  // Exclusive mode outlives this descriptor while others keep the tty open.
  ioctl(handle, TIOCNXCL);
  // Linux releases the descriptor even when close reports an error, so the
  // variable must not keep a number that may already belong to another file.
  const bool closed = close(handle) == 0;
  handle = INVALID_HANDLE_VALUE;
  return closed;
}

int32_t ReadCOM(TCOMHandle h, void *buffer, int32_t capacity, TSerialError *error) {
  if (buffer == nullptr || capacity <= 0)
    return 0;
  int queued = 0;
  if (ioctl(h, FIONREAD, &queued) != 0) {
    Report(error, errno);
    return 0;
  }
  if (queued <= 0) {
    if (HungUp(h))
      Report(error, EIO);
    return 0;
  }
  // One tty read returns at most about 4 KiB: read on until the driver's
  // queue is empty or the buffer is full.
  auto *bytes = static_cast<char *>(buffer);
  int32_t total = 0;
  while (total < capacity) {
    const ssize_t count =
        read(h, bytes + total, static_cast<size_t>(capacity - total));
    if (count > 0) {
      total += static_cast<int32_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR)
      continue;
    if (count == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
      break;
    // Bytes already read are delivered; the error shows at the next read.
    if (total > 0)
      return total;
    Report(error, errno);
    return -1;
  }
  return total;
}

int32_t WriteCOM(TCOMHandle h, const void *buffer, int32_t count, TSerialError *error) {
  if (buffer == nullptr || count <= 0)
    return 0;
  for (;;) {
    const ssize_t taken = write(h, buffer, static_cast<size_t>(count));
    if (taken >= 0)
      return static_cast<int32_t>(taken);
    if (errno == EINTR)
      continue;
    // A full driver queue is back-pressure, not a failure.
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return 0;
    Report(error, errno);
    return -1;
  }
}

bool QueryCOMQueues(TCOMHandle h, TCOMQueues &queues) {
  int input = 0;
  int output = 0;
  if (ioctl(h, FIONREAD, &input) != 0 || ioctl(h, TIOCOUTQ, &output) != 0)
    return false;
  queues = {static_cast<uint32_t>(std::max(input, 0)), static_cast<uint32_t>(std::max(output, 0))};
  return true;
}

// I/O here is never left pending (no overlapped calls), so there is nothing
// to cancel; the close that follows drains the output.
void CancelCOMIo(TCOMHandle) {}
