#include "platform/PrivateTempFolder.h"

#include "platform/WinText.h"

std::string PrivateTempFolder(std::string *error) {
  // The temporary folder is the user's own (in the user's profile).
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) {
    if (error)
      *error = AnsiFromWide(SystemMessage(length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW));
    return "";
  }
  std::wstring path(buffer, length);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
    path.pop_back();
  return AnsiFromWide(path);
}

bool CopyFileNoReplace(const std::string &source, const std::string &target) {
  return CopyFileW(WideFromAnsi(source).c_str(), WideFromAnsi(target).c_str(), TRUE) != 0;
}
