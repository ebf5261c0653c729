#include "Escapes.h"

#include <stdexcept>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

} // namespace

std::string DecodeEscapes(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size())
      throw std::invalid_argument("escape at the end of the text");
    switch (text[i]) {
    case 'r': out += '\r'; break;
    case 'n': out += '\n'; break;
    case '"': out += '"'; break;
    case '\\': out += '\\'; break;
    case 'x': {
      const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
      if (high < 0 || low < 0)
        throw std::invalid_argument("\\x needs two hex digits");
      out += static_cast<char>(high * 16 + low);
      i += 2;
      break;
    }
    default:
      throw std::invalid_argument(std::string("unknown escape \\") + text[i]);
    }
  }
  return out;
}
