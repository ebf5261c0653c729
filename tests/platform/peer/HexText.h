#pragma once
// Bytes as lower-case hex digits on the peer's control line.

#include <string>

inline std::string ToHex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

inline std::string FromHex(const std::string &text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return bytes;
}
