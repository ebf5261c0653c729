#pragma once
// A folder for files that this program starts: only the current user may
// write to it, so nobody else can swap what gets executed.

#include <cstdint>
#include <string>

// $XDG_RUNTIME_DIR/tandrel when the runtime folder is the user's own 0700
// folder, else a per-user 0700 folder tandrel-<uid> under $TMPDIR or /tmp.
// Created when missing. The path has no trailing slash; an empty result means
// no such folder can be had, and `error` (if given) then tells why.
std::string PrivateTempFolder(std::string *error);

// A copy of a program made by this process, and only ever deleted as long as
// its path still names the very file that was made.
class TPrivateCopy {
public:
  TPrivateCopy() = default;
  // Forgets the copy; the file stays.
  ~TPrivateCopy();
  TPrivateCopy(const TPrivateCopy &) = delete;
  TPrivateCopy &operator=(const TPrivateCopy &) = delete;

  // Copies `source` to `target` (in the same folder as the temporary file the
  // copy is written to), replacing in one step whatever stands there, so the
  // target is always either the old file or the whole copy. The copy keeps
  // the source's execute bits but no group/other write bit. On failure
  // `error` gets the system's reason and nothing is made.
  bool Make(const std::string &source, const std::string &target, std::string *error);

  // Deletes the file made last, unless its path names another file by now;
  // forgets it either way.
  void Remove();

  bool IsMade() const { return !FPath.empty(); }
  const std::string &Path() const { return FPath; }

private:
  void Forget();

  std::string FPath;
  // The made file's identity: device (volume) and inode (file index).
  uint64_t FVolume = 0;
  uint64_t FFile = 0;
#ifndef _WIN32
  // Reads the copy while it is ours, so that its inode number cannot pass to
  // another file.
  int FHeld = -1;
#endif
};
