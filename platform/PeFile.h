#pragma once
// Recognises a Windows executable (a PE image) by its headers, so that a
// setup program built for Windows can be started through wine elsewhere.

#include <string>

// Whether the file at `path` starts with "MZ" and holds "PE\0\0" at the
// offset that its DOS header gives at 0x3C, inside the file. False for a
// file that cannot be read.
bool IsWindowsExecutable(const std::string &path);
