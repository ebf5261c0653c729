#include "platform/SettingsStore.h"

namespace {

constexpr char32_t KReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string &out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

TRegistryError ValueError(const char *before, std::u16string_view name) {
  return TRegistryError(before + Utf8FromUtf16(name) + "'");
}

} // namespace

TRegistryError::TRegistryError(const std::string &utf8Message) : std::runtime_error(utf8Message) {}

TRegistryError InvalidDataTypeError(std::u16string_view name) { return ValueError("Invalid data type for '", name); }
TRegistryError GetDataError(std::u16string_view name) { return ValueError("Failed to get data for '", name); }
TRegistryError SetDataError(std::u16string_view name) { return ValueError("Failed to set data for '", name); }

// A lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, IsHighSurrogate(unit) || IsLowSurrogate(unit) ? KReplacement : char32_t(unit));
    }
  }
  return out;
}
