#include "platform/WinText.h"

namespace {

std::wstring WideFrom(UINT codePage, std::string_view text) {
  if (text.empty())
    return {};
  const int size = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string NarrowFrom(UINT codePage, std::wstring_view text) {
  if (text.empty())
    return {};
  const int size =
      WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

bool IsTrailingJunk(wchar_t c) { return c <= L' ' || c == L'.'; }

} // namespace

std::wstring WideFromAnsi(std::string_view text) { return WideFrom(CP_ACP, text); }
std::string AnsiFromWide(std::wstring_view text) { return NarrowFrom(CP_ACP, text); }
std::string Utf8FromWide(std::wstring_view text) { return NarrowFrom(CP_UTF8, text); }

std::wstring SystemMessage(DWORD error) {
  wchar_t *buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", length);
  LocalFree(buffer);
  while (!text.empty() && IsTrailingJunk(text.back()))
    text.pop_back();
  return text.empty() ? L"error " + std::to_wstring(error) : text;
}
