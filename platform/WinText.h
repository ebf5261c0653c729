#pragma once
// Text at the edges of the Win32 backends. Names and paths that the program
// hands over are in the system ANSI code page (what QString::toLocal8Bit and
// QFile::encodeName give there); error texts for exceptions are UTF-8.

#include <string>
#include <string_view>
#include <windows.h>

std::wstring WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::wstring_view text);
std::string Utf8FromWide(std::wstring_view text);

// The system's message for `error`, without the trailing line break, blanks
// and full stops that FormatMessageW leaves; "error N" when it has none.
std::wstring SystemMessage(DWORD error);
