#pragma once
// C-style escapes in texts given on the command line or the control socket.

#include <string>

// Decodes \r \n \" \\ and \xNN (two hex digits); throws std::invalid_argument
// on any other escape, so a typo never goes out on the line unnoticed.
std::string DecodeEscapes(const std::string &text);
