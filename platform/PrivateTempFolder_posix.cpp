#include "platform/PrivateTempFolder.h"

#include <cerrno>
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

// Writes the copy under a temporary name beside the target; `link` then
// publishes it only if the target name is still free.
bool CopyThroughTemporary(int source, mode_t mode, const std::string &target) {
  std::string temporary = JoinPath(FolderOf(target), ".tandrel-copy-XXXXXX");
  const int out = mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0)
    return false;
  bool ok = CopyContents(source, out) && fchmod(out, mode) == 0;
  ok = close(out) == 0 && ok;
  ok = ok && link(temporary.c_str(), target.c_str()) == 0;
  unlink(temporary.c_str());
  return ok;
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

bool CopyFileNoReplace(const std::string &source, const std::string &target) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0)
    return false;
  struct stat info;
  bool ok = fstat(in, &info) == 0 && S_ISREG(info.st_mode);
  if (ok) {
    const mode_t mode = info.st_mode & 0777 & ~(S_IWGRP | S_IWOTH);
    ok = CopyThroughTemporary(in, mode, target);
  }
  close(in);
  return ok;
}
