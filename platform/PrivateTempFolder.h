#pragma once
// A folder for files that this program starts: only the current user may
// write to it, so nobody else can swap what gets executed.

#include <string>

// $XDG_RUNTIME_DIR/tandrel when the runtime folder is the user's own 0700
// folder, else a per-user 0700 folder tandrel-<uid> under $TMPDIR or /tmp.
// Created when missing. The path has no trailing slash; an empty result means
// no such folder can be had, and `error` (if given) then tells why.
std::string PrivateTempFolder(std::string *error);

// Copies `source` to `target` unless `target` already exists. The target
// appears complete or not at all, and keeps the source's execute bits (but
// no group/other write bit).
bool CopyFileNoReplace(const std::string &source, const std::string &target);
