#include "platform/FileVersion.h"

#include "platform/WinText.h"

#include <cstdio>
#include <vector>

namespace {

struct TTranslation {
  WORD language;
  WORD codePage;
};

bool IsFile(const std::wstring &path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The string table's key: language and code page, four hex digits each.
std::wstring FileVersionQuery(const TTranslation &translation) {
  wchar_t key[64];
  swprintf(key, sizeof key / sizeof key[0], L"\\StringFileInfo\\%04X%04X\\FileVersion", translation.language,
           translation.codePage);
  return key;
}

} // namespace

std::string GetFileVersionString(const std::string &fileName) {
  const std::wstring path = WideFromAnsi(fileName);
  if (path.empty() || !IsFile(path))
    return "";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0)
    return "";
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data()))
    return "";
  TTranslation *translations = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations), &length))
    return "";
  for (UINT i = 0; i < length / sizeof(TTranslation); ++i) {
    wchar_t *version = nullptr;
    UINT versionLength = 0;
    if (VerQueryValueW(info.data(), FileVersionQuery(translations[i]).c_str(), reinterpret_cast<void **>(&version),
                       &versionLength))
      return AnsiFromWide(std::wstring(version, wcsnlen(version, versionLength)));
  }
  return "";
}
