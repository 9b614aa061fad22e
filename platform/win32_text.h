// Text at the Win32 boundary: UTF-8 paths and names to the wide-character
// calls and back, and a system error code in words.
#pragma once

#ifdef _WIN32

#include <windows.h>

#include <string>

namespace bm::win32 {

std::wstring widenUtf8(const std::string& text);
std::string narrowUtf8(const wchar_t* text);
// The system's message for `error`, ASCII only and without its closing period;
// "error N" when the system has none.
std::string systemErrorText(DWORD error);

} // namespace bm::win32

#endif
