// The settings key in the registry: the values the file store keeps, with
// its error texts for missing and wrongly typed values.

#include "platform/RegistryStore.h"

#include <doctest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

const std::u16string KTestKey = u"SOFTWARE\\Korvel\\TandrelTest\\";

const wchar_t *Wide(const std::u16string &text) { return reinterpret_cast<const wchar_t *>(text.c_str()); }

// The test's key, removed before and after.
struct TScratchKey {
  TScratchKey() { Delete(); }
  ~TScratchKey() { Delete(); }
  static void Delete() { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Korvel\\TandrelTest"); }

  // A value of any type and contents, as another program might leave it.
  static void Plant(const wchar_t *name, DWORD type, const std::vector<BYTE> &data) {
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, Wide(KTestKey), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
  }

  struct TRaw {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
  };
  static TRaw Raw(const wchar_t *name) {
    TRaw raw;
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, Wide(KTestKey), name, RRF_RT_ANY | RRF_NOEXPAND, &raw.type, nullptr, &size) !=
        ERROR_SUCCESS)
      return raw;
    raw.data.resize(size);
    RegGetValueW(HKEY_CURRENT_USER, Wide(KTestKey), name, RRF_RT_ANY | RRF_NOEXPAND, &raw.type, raw.data.data(),
                 &size);
    return raw;
  }
};

std::vector<BYTE> Utf16Bytes(const std::u16string &text) {
  const auto *bytes = reinterpret_cast<const BYTE *>(text.data());
  return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(char16_t));
}

std::string ErrorOf(const std::function<void()> &action) {
  try {
    action();
  } catch (const TRegistryError &error) {
    return error.what();
  }
  return "no error";
}

} // namespace

TEST_CASE("the first open creates the key, empty") {
  TScratchKey scratch;
  const auto store = OpenRegistryStore(KTestKey);
  HKEY key = nullptr;
  CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Korvel\\TandrelTest", 0, KEY_READ, &key) == ERROR_SUCCESS);
  RegCloseKey(key);
  CHECK_FALSE(store->ValueExists(u"COM"));
  CHECK_FALSE(store->ValueExists(u"CHANNEL"));
}

TEST_CASE("port, connection type and phone history survive a reopen as REG_SZ and REG_DWORD values") {
  TScratchKey scratch;
  const std::u16string phones[] = {u"+7 900 000-00-01", u" 123", u"123", u"", u"\u0442\u0435\u043b"};
  {
    const auto store = OpenRegistryStore(KTestKey);
    store->WriteString(u"COM", u"COM3");
    store->WriteInteger(u"CHANNEL", 1);
    for (size_t i = 0; i < std::size(phones); ++i)
      store->WriteString(u"phone" + std::u16string(1, char16_t(u'1' + i)), phones[i]);
    store->WriteInteger(u"NEGATIVE", -2);
  }
  const auto store = OpenRegistryStore(KTestKey);
  CHECK(store->ReadString(u"com") == u"COM3"); // names ignore case
  CHECK(store->ReadInteger(u"CHANNEL") == 1);
  CHECK(store->ReadInteger(u"NEGATIVE") == -2);
  for (size_t i = 0; i < std::size(phones); ++i)
    CHECK(store->ReadString(u"phone" + std::u16string(1, char16_t(u'1' + i))) == phones[i]);

  // The data as the file store writes it: UTF-16 with the NUL counted, 4 bytes.
  const TScratchKey::TRaw com = TScratchKey::Raw(L"COM");
  CHECK(com.type == REG_SZ);
  CHECK(com.data == Utf16Bytes(std::u16string(u"COM3\0", 5)));
  const TScratchKey::TRaw channel = TScratchKey::Raw(L"CHANNEL");
  CHECK(channel.type == REG_DWORD);
  CHECK(channel.data == std::vector<BYTE>{1, 0, 0, 0});
}

TEST_CASE("string values of each stored form read as the file store reads them") {
  struct TCase {
    const char *what;
    DWORD type;
    std::vector<BYTE> data;
    std::u16string text;
  };
  const TCase cases[] = {
      {"expandable, not expanded", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%TEMP%\\x\0", 9)), u"%TEMP%\\x"},
      {"empty data", REG_SZ, {}, u""},
      {"up to the first NUL", REG_SZ, Utf16Bytes(std::u16string(u"ab\0cd\0", 6)), u"ab"},
      {"no terminating NUL", REG_SZ, Utf16Bytes(u"COM4"), u"COM4"},
      {"an odd last byte", REG_SZ, {'C', 0, 'O', 0, 'M'}, u"CO"},
  };
  for (const TCase &c : cases) {
    CAPTURE(c.what);
    TScratchKey scratch;
    TScratchKey::Plant(L"COM", c.type, c.data);
    CHECK(OpenRegistryStore(KTestKey)->ReadString(u"COM") == c.text);
  }
}

TEST_CASE("missing and wrongly typed values raise the file store's texts") {
  struct TCase {
    const wchar_t *name;
    DWORD type;
    std::vector<BYTE> data;
    bool readAsText;
    const char *error;
  };
  const TCase cases[] = {
      {nullptr, 0, {}, true, "Failed to get data for 'COM'"},
      {nullptr, 0, {}, false, "Failed to get data for 'CHANNEL'"},
      {L"COM", REG_DWORD, {1, 0, 0, 0}, true, "Invalid data type for 'COM'"},
      {L"COM", REG_BINARY, {'C', 0}, true, "Invalid data type for 'COM'"},
      {L"CHANNEL", REG_SZ, Utf16Bytes(std::u16string(u"1\0", 2)), false, "Invalid data type for 'CHANNEL'"},
      {L"CHANNEL", REG_BINARY, {1, 0}, false, "Invalid data type for 'CHANNEL'"},
      {L"CHANNEL", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, false, "Failed to get data for 'CHANNEL'"},
      {L"CHANNEL", REG_DWORD, {1, 0}, false, "Failed to get data for 'CHANNEL'"},
  };
  for (const TCase &c : cases) {
    CAPTURE(c.error);
    TScratchKey scratch;
    if (c.name)
      TScratchKey::Plant(c.name, c.type, c.data);
    const auto store = OpenRegistryStore(KTestKey);
    if (c.readAsText)
      CHECK(ErrorOf([&] { store->ReadString(u"COM"); }) == c.error);
    else
      CHECK(ErrorOf([&] { store->ReadInteger(u"CHANNEL"); }) == c.error);
  }
}

TEST_CASE("a key that cannot be opened has no values and refuses writes") {
  TScratchKey scratch;
  // A volatile key cannot hold the lasting key the store asks for.
  HKEY parent = nullptr;
  REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Korvel\\TandrelTest", 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &parent, nullptr) == ERROR_SUCCESS);
  RegCloseKey(parent);
  const auto store = OpenRegistryStore(u"SOFTWARE\\Korvel\\TandrelTest\\Lasting\\");
  CHECK_FALSE(store->ValueExists(u"COM"));
  CHECK(ErrorOf([&] { store->WriteString(u"COM", u"COM3"); }) == "Failed to set data for 'COM'");
  CHECK(ErrorOf([&] { store->WriteInteger(u"CHANNEL", 0); }) == "Failed to set data for 'CHANNEL'");
}

TEST_CASE("a broken key is set aside beside it, never over an earlier one") {
  TScratchKey scratch;
  TScratchKey::Plant(L"CHANNEL", REG_SZ, Utf16Bytes(std::u16string(u"1\0", 2)));
  std::string error;
  const std::u16string first = SetAsideRegistryKey(KTestKey, u".broken-1", &error);
  CHECK(first == u"SOFTWARE\\Korvel\\TandrelTest.broken-1");
  CHECK(error.empty());
  // The key is gone and starts empty again at the next open.
  CHECK_FALSE(OpenRegistryStore(KTestKey)->ValueExists(u"CHANNEL"));
  const std::u16string second = SetAsideRegistryKey(KTestKey, u".broken-1", &error);
  CHECK(second == u"SOFTWARE\\Korvel\\TandrelTest.broken-1-2");

  const auto aside = OpenRegistryStore(first);
  CHECK(ErrorOf([&] { aside->ReadInteger(u"CHANNEL"); }) == "Invalid data type for 'CHANNEL'");
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(first));
  RegDeleteTreeW(HKEY_CURRENT_USER, Wide(second));

  CHECK(SetAsideRegistryKey(u"SOFTWARE\\Korvel\\NoSuchKey\\", u".broken-1", &error).empty());
  CHECK_FALSE(error.empty());
}
