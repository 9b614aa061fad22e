// The diagnostics' platform parts on Windows: the service logs to its own
// console there, so there is no log to take; the environment.
#include "cli/cli_diagnostics.h"
#include "platform/win32_text.h"

#include <windows.h>

#include <cwchar>

namespace bm::cli {

std::string serviceLogTail(int)
{
    return "no service log on Windows (brennmarkd.exe logs to its own console)\n";
}

std::string systemDescription()
{
    return "Windows";
}

std::vector<std::string> processEnvironment()
{
    std::vector<std::string> out;
    // The wide block: MinGW declares no ANSI form under UNICODE, and names may
    // hold characters the ANSI code page lacks.
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* e = block; e != nullptr && *e != L'\0'; e += std::wcslen(e) + 1)
        out.push_back(win32::narrowUtf8(e));
    if (block != nullptr)
        ::FreeEnvironmentStringsW(block);
    return out;
}

} // namespace bm::cli
