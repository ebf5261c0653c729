#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Keeps a display name usable as part of a file name.
std::string FileNamePart(const std::string &text) {
  std::string part;
  for (const char c : text)
    part += (c == '/' || c == '\0') ? '_' : c;
  return part;
}

} // namespace

TSingleInstanceLock::~TSingleInstanceLock() {
  if (FDescriptor >= 0)
    ::close(FDescriptor);
}

TSingleInstanceLock::TResult TSingleInstanceLock::Acquire(const std::string &folder, const std::string &className,
                                                          const std::string &display) {
  const std::string path = folder + "/" + className + "-" + FileNamePart(display) + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return TResult::Failed;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? TResult::HeldByAnother : TResult::Failed;
  }
  FDescriptor = fd;
  FClassName = className;
  return TResult::Acquired;
}

// Another program's window cannot be raised from here in a way that every
// desktop honours.
void TSingleInstanceLock::PublishWindow(std::uintptr_t) {}

bool BringRunningInstanceForward(const std::string &) { return false; }

std::string CurrentDisplayName() {
  for (const char *variable : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    const char *value = std::getenv(variable);
    if (value && *value)
      return value;
  }
  return "console";
}
