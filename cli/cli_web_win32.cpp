#include "cli/cli_web.h"

#include <windows.h>
#include <shellapi.h>

namespace bm::cli {

bool openInBrowser(const std::string& url)
{
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

} // namespace bm::cli
