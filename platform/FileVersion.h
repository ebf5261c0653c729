#pragma once

#include <string>

// The FileVersion text of the program file `fileName`: on Windows from its
// version resource (the first translation that has one), elsewhere the
// version compiled into this program. Empty when the file does not exist or
// has no version.
std::string GetFileVersionString(const std::string &fileName);
