#include "platform/RegistryStore.h"

#include "platform/WinText.h"

#include <windows.h>

namespace {

const wchar_t *Wide(const std::u16string &text) { return reinterpret_cast<const wchar_t *>(text.c_str()); }

// More keys set aside within the same suffix get a number.
constexpr int KMaxSetAsideAttempts = 100;

bool KeyExists(HKEY parent, const std::u16string &name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, Wide(name), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

std::u16string FreeName(HKEY parent, const std::u16string &stem) {
  for (int attempt = 1; attempt <= KMaxSetAsideAttempts; ++attempt) {
    std::u16string name = stem;
    if (attempt > 1) {
      name += u'-';
      for (const char digit : std::to_string(attempt))
        name += char16_t(digit);
    }
    if (!KeyExists(parent, name))
      return name;
  }
  return {};
}

class TRegistryStore : public TSettingsStore {
public:
  explicit TRegistryStore(const std::u16string &subKey) {
    // A key that cannot be opened shows no values; the first write reports it.
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &FKey, nullptr) != ERROR_SUCCESS)
      FKey = nullptr;
  }
  ~TRegistryStore() override {
    if (FKey)
      RegCloseKey(FKey);
  }
  TRegistryStore(const TRegistryStore &) = delete;
  TRegistryStore &operator=(const TRegistryStore &) = delete;

  bool ValueExists(const std::u16string &name) const override {
    return FKey && RegQueryValueExW(FKey, Wide(name), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  std::u16string ReadString(const std::u16string &name) const override {
    DWORD type = 0;
    DWORD size = 0;
    if (!Query(name, &type, nullptr, &size))
      throw GetDataError(name);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
      throw InvalidDataTypeError(name);
    std::u16string data((size + 1) / 2, u'\0');
    if (!Query(name, &type, data.data(), &size))
      throw GetDataError(name);
    // Up to the first NUL; an odd last byte is no character.
    data.resize(size / 2);
    return data.substr(0, data.find(u'\0'));
  }

  int32_t ReadInteger(const std::u16string &name) const override {
    DWORD type = 0;
    int32_t value = 0;
    DWORD size = sizeof value;
    // Data longer than the 4-byte buffer is refused before its type is looked at.
    if (!Query(name, &type, &value, &size))
      throw GetDataError(name);
    if (type != REG_DWORD)
      throw InvalidDataTypeError(name);
    if (size != sizeof value)
      throw GetDataError(name);
    return value;
  }

  void WriteString(const std::u16string &name, const std::u16string &value) override {
    // REG_SZ counts the terminating NUL.
    Set(name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(char16_t));
  }

  void WriteInteger(const std::u16string &name, int32_t value) override {
    Set(name, REG_DWORD, &value, sizeof value);
  }

private:
  bool Query(const std::u16string &name, DWORD *type, void *data, DWORD *size) const {
    return FKey && RegQueryValueExW(FKey, Wide(name), nullptr, type, static_cast<BYTE *>(data), size) == ERROR_SUCCESS;
  }

  void Set(const std::u16string &name, DWORD type, const void *data, size_t size) {
    if (!FKey || RegSetValueExW(FKey, Wide(name), 0, type, static_cast<const BYTE *>(data),
                                static_cast<DWORD>(size)) != ERROR_SUCCESS)
      throw SetDataError(name);
  }

  HKEY FKey = nullptr;
};

} // namespace

std::unique_ptr<TSettingsStore> OpenRegistryStore(const std::u16string &subKey) {
  return std::make_unique<TRegistryStore>(subKey);
}

std::u16string SetAsideRegistryKey(const std::u16string &subKey, const std::u16string &suffix, std::string *error) {
  std::u16string path = subKey;
  while (!path.empty() && path.back() == u'\\')
    path.pop_back();
  const size_t slash = path.rfind(u'\\');
  const std::u16string parentPath = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
  const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  HKEY parent = nullptr;
  LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, Wide(parentPath), 0, KEY_ALL_ACCESS, &parent);
  std::u16string newName;
  if (result == ERROR_SUCCESS) {
    newName = FreeName(parent, name + suffix);
    result = newName.empty() ? ERROR_ALREADY_EXISTS : RegRenameKey(parent, Wide(name), Wide(newName));
    RegCloseKey(parent);
  }
  if (result != ERROR_SUCCESS) {
    if (error)
      *error = Utf8FromWide(SystemMessage(static_cast<DWORD>(result)));
    return {};
  }
  return parentPath.empty() ? newName : parentPath + u'\\' + newName;
}
