#pragma once
// Small helpers for the simulators' command lines and control commands.

#include <functional>
#include <string>

// Hands out the value of the option being parsed; throws when it is missing.
using TOptionValue = std::function<std::string()>;

// Throws std::invalid_argument unless `text` is a whole non-negative decimal number.
long ParseCount(const std::string &text);

// "on" or "off"; throws std::invalid_argument otherwise.
bool ParseOnOff(const std::string &text);
