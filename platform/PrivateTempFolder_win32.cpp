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

namespace {

void SetError(std::string *error, DWORD code) {
  if (error)
    *error = AnsiFromWide(SystemMessage(code));
}

// Volume serial number and file index of an open file.
bool IdentityOf(HANDLE file, uint64_t *volume, uint64_t *index) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info))
    return false;
  *volume = info.dwVolumeSerialNumber;
  *index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

HANDLE OpenForIdentity(const std::wstring &path, DWORD access) {
  return CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

} // namespace

TPrivateCopy::~TPrivateCopy() = default;

bool TPrivateCopy::Make(const std::string &source, const std::string &target, std::string *error) {
  Forget();
  const std::wstring wideTarget = WideFromAnsi(target);
  const std::wstring temporary = wideTarget + L".tandrel-copy-" + std::to_wstring(GetCurrentProcessId());
  if (!CopyFileW(WideFromAnsi(source).c_str(), temporary.c_str(), FALSE)) {
    SetError(error, GetLastError());
    return false;
  }
  HANDLE copy = OpenForIdentity(temporary, 0);
  bool ok = copy != INVALID_HANDLE_VALUE && IdentityOf(copy, &FVolume, &FFile);
  DWORD code = GetLastError();
  if (copy != INVALID_HANDLE_VALUE)
    CloseHandle(copy);
  if (ok && !MoveFileExW(temporary.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    code = GetLastError();
    ok = false;
  }
  if (!ok) {
    DeleteFileW(temporary.c_str());
    SetError(error, code);
    return false;
  }
  FPath = target;
  return true;
}

void TPrivateCopy::Remove() {
  if (IsMade()) {
    // Deleting through the handle that was checked deletes exactly that file.
    HANDLE file = OpenForIdentity(WideFromAnsi(FPath), DELETE);
    uint64_t volume = 0;
    uint64_t index = 0;
    if (file != INVALID_HANDLE_VALUE) {
      if (IdentityOf(file, &volume, &index) && volume == FVolume && index == FFile) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
      }
      CloseHandle(file);
    }
  }
  Forget();
}

// File indexes carry a sequence number that changes when one is reused:
// nothing to hold.
void TPrivateCopy::Forget() { FPath.clear(); }
