// The diagnostics' platform parts on Windows: the service logs to its own
// console there, so there is no log to take; the environment.
#include "cli/cli_diagnostics.h"

#include <windows.h>

#include <cstring>

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
    char* block = ::GetEnvironmentStringsA();
    for (const char* e = block; e != nullptr && *e != '\0'; e += std::strlen(e) + 1)
        out.emplace_back(e);
    if (block != nullptr)
        ::FreeEnvironmentStringsA(block);
    return out;
}

} // namespace bm::cli
