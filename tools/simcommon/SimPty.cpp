#include "SimPty.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void ThrowOsError(const std::string &what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0)
    ThrowOsError("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0)
    ThrowOsError("tcsetattr");
}

// Replaces the link in one step, so a starter polling for it never sees it missing.
void PublishLink(const std::string &target, const std::string &linkPath) {
  const std::string temporary = linkPath + ".new";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0)
    ThrowOsError("symlink " + temporary);
  if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    ThrowOsError("rename to " + linkPath);
  }
}

} // namespace

void TSimPty::Publish() {
  Unpublish();
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0)
    ThrowOsError("posix_openpt");
  char slaveName[128];
  if (grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 || ptsname_r(FMaster, slaveName, sizeof slaveName) != 0)
    ThrowOsError("pty slave");
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  FSlave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FSlave < 0)
    ThrowOsError(std::string("open ") + slaveName);
  if (FRawSlave)
    MakeRaw(FSlave);
  PublishLink(slaveName, FLinkPath);
}

void TSimPty::Unpublish() {
  if (FMaster < 0)
    return;
  unlink(FLinkPath.c_str());
  close(FSlave);
  close(FMaster);
  FSlave = FMaster = -1;
  FPending.clear();
  NotePending();
}

size_t TSimPty::Read(std::string &out, size_t most) {
  if (FMaster < 0 || most == 0)
    return 0;
  char buffer[4096];
  const ssize_t n = read(FMaster, buffer, std::min(most, sizeof buffer));
  if (n <= 0)
    return 0; // EAGAIN: nothing queued; other errors: the line simply stays quiet
  out.append(buffer, static_cast<size_t>(n));
  return static_cast<size_t>(n);
}

size_t TSimPty::QueuedInput() const {
  int queued = 0;
  return FMaster >= 0 && ioctl(FMaster, FIONREAD, &queued) == 0 ? static_cast<size_t>(queued) : 0;
}

void TSimPty::Queue(std::string_view bytes) {
  if (FMaster < 0)
    return; // unplugged: whatever the device says is lost, as on a pulled cable
  FPending.append(bytes);
  FlushPending();
}

void TSimPty::FlushPending() {
  while (FMaster >= 0 && !FPending.empty()) {
    const ssize_t n = write(FMaster, FPending.data(), FPending.size());
    if (n <= 0)
      break; // the line is full for now; poll reports when it drains
    FPending.erase(0, static_cast<size_t>(n));
  }
  NotePending();
}

void TSimPty::NotePending() {
  if (!FPending.empty() && !FPendingSince)
    FPendingSince = TClock::now();
  else if (FPending.empty() && FPendingSince) {
    FHeldBack += TClock::now() - *FPendingSince;
    FPendingSince.reset();
  }
}

std::chrono::milliseconds TSimPty::HeldBack() const {
  TClock::duration total = FHeldBack;
  if (FPendingSince)
    total += TClock::now() - *FPendingSince;
  return std::chrono::duration_cast<std::chrono::milliseconds>(total);
}
