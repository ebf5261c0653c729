#include "platform/PrivateTempFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void SetError(std::string *error, const std::string &text) {
  if (error)
    *error = text;
}

std::string SystemError(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string JoinPath(std::string folder, const std::string &name) {
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  return folder == "/" ? folder + name : folder + "/" + name;
}

std::string EnvironmentValue(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

// The runtime folder counts only when it is this user's and closed to others,
// as the session manager sets it up.
bool IsOwnRuntimeFolder(const std::string &path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & 07777) == 0700;
}

// mkdir then lstat: whatever stands at `path` afterwards must be a real
// directory of ours that no one else can write to, or someone may have
// planted it (a symlink in /tmp, say).
std::string EnsurePrivateFolder(const std::string &path, std::string *error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    SetError(error, SystemError("cannot create " + path));
    return "";
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    SetError(error, SystemError("cannot examine " + path));
    return "";
  }
  if (!S_ISDIR(info.st_mode)) {
    SetError(error, path + " is not a directory (a symbolic link or a file stands there)");
    return "";
  }
  if (info.st_uid != geteuid()) {
    SetError(error, path + " belongs to another user");
    return "";
  }
  if (info.st_mode & (S_IWGRP | S_IWOTH)) {
    SetError(error, path + " can be written by other users");
    return "";
  }
  return path;
}

bool CopyContents(int from, int to) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return got == 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(to, buffer + done, got - done);
      if (put < 0 && errno == EINTR)
        continue;
      if (put < 0)
        return false;
      done += put;
    }
  }
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Closes the descriptor when it goes out of scope.
class TFd {
public:
  explicit TFd(int fd) : FFd(fd) {}
  ~TFd() {
    if (FFd >= 0)
      close(FFd);
  }
  TFd(const TFd &) = delete;
  TFd &operator=(const TFd &) = delete;
  int Get() const { return FFd; }
  // Closes it now; false when the close reports an error (a write that failed late).
  bool Close() {
    const int fd = FFd;
    FFd = -1;
    return close(fd) == 0;
  }

private:
  int FFd;
};

// Writes the copy under a temporary name beside the target and renames it
// over the target. Returns a descriptor that reads the copy, -1 on failure.
int CopyThroughTemporary(int source, mode_t mode, const std::string &target) {
  std::string temporary = JoinPath(FolderOf(target), ".tandrel-copy-XXXXXX");
  TFd out(mkostemp(temporary.data(), O_CLOEXEC));
  if (out.Get() < 0)
    return -1;
  const bool written = CopyContents(source, out.Get()) && fchmod(out.Get(), mode) == 0 && out.Close();
  // Read only: a file that is open for writing cannot be started.
  const int held = written ? open(temporary.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (held >= 0 && rename(temporary.c_str(), target.c_str()) == 0)
    return held;
  const int error = errno;
  if (held >= 0)
    close(held);
  unlink(temporary.c_str());
  errno = error;
  return -1;
}

} // namespace

std::string PrivateTempFolder(std::string *error) {
  const std::string runtime = EnvironmentValue("XDG_RUNTIME_DIR");
  if (IsOwnRuntimeFolder(runtime))
    return EnsurePrivateFolder(JoinPath(runtime, "tandrel"), error);
  std::string temp = EnvironmentValue("TMPDIR");
  if (temp.empty())
    temp = "/tmp";
  return EnsurePrivateFolder(JoinPath(temp, "tandrel-" + std::to_string(geteuid())), error);
}

TPrivateCopy::~TPrivateCopy() { Forget(); }

bool TPrivateCopy::Make(const std::string &source, const std::string &target, std::string *error) {
  Forget();
  TFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (in.Get() < 0 || fstat(in.Get(), &info) != 0) {
    SetError(error, std::strerror(errno));
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    SetError(error, "not a regular file");
    return false;
  }
  FHeld = CopyThroughTemporary(in.Get(), info.st_mode & 0777 & ~(S_IWGRP | S_IWOTH), target);
  struct stat made;
  if (FHeld < 0 || fstat(FHeld, &made) != 0) {
    SetError(error, std::strerror(errno));
    Forget();
    return false;
  }
  FPath = target;
  FVolume = made.st_dev;
  FFile = made.st_ino;
  return true;
}

void TPrivateCopy::Remove() {
  struct stat info;
  if (IsMade() && lstat(FPath.c_str(), &info) == 0 && info.st_dev == FVolume && info.st_ino == FFile)
    unlink(FPath.c_str());
  Forget();
}

void TPrivateCopy::Forget() {
  if (FHeld >= 0)
    close(FHeld);
  FHeld = -1;
  FPath.clear();
}
