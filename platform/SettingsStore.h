#pragma once
// The per-user settings key as one interface over two stores: the registry on
// Windows (platform/RegistryStore.h), a .reg file elsewhere
// (app/RegFileStore.h). Values are text (REG_SZ; REG_EXPAND_SZ is read as it
// stands) and 32-bit integers (REG_DWORD); names compare case-insensitively.
// Both stores raise the same errors for the same cases.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// what() is UTF-8 text meant for the user.
class TRegistryError : public std::runtime_error {
public:
  explicit TRegistryError(const std::string &utf8Message);
};

// "Invalid data type for '%s'": a text that is no string, an integer that is
// no REG_DWORD.
TRegistryError InvalidDataTypeError(std::u16string_view name);
// "Failed to get data for '%s'": a missing value, or data the store refuses
// to return (an integer longer than 4 bytes).
TRegistryError GetDataError(std::u16string_view name);
// "Failed to set data for '%s'": a refused write.
TRegistryError SetDataError(std::u16string_view name);

std::string Utf8FromUtf16(std::u16string_view text);

// One open of the key, created when missing; closing it is destroying the
// object. A key that could not be opened has no values and refuses writes.
class TSettingsStore {
public:
  virtual ~TSettingsStore() = default;
  virtual bool ValueExists(const std::u16string &name) const = 0;
  virtual std::u16string ReadString(const std::u16string &name) const = 0;
  virtual int32_t ReadInteger(const std::u16string &name) const = 0;
  virtual void WriteString(const std::u16string &name, const std::u16string &value) = 0;
  virtual void WriteInteger(const std::u16string &name, int32_t value) = 0;
};
