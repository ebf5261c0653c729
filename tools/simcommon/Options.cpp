#include "Options.h"

#include <charconv>
#include <stdexcept>

long ParseCount(const std::string &text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
    throw std::invalid_argument("not a count: '" + text + "'");
  return value;
}

bool ParseOnOff(const std::string &text) {
  if (text == "on")
    return true;
  if (text == "off")
    return false;
  throw std::invalid_argument("expected on or off, got '" + text + "'");
}
