// The diagnostics' platform parts on POSIX: the service's log from the
// journal, uname, the environment.
#include "cli/cli_diagnostics.h"

#include <cstdio>
#include <sys/utsname.h>

extern char** environ;

namespace bm::cli {
namespace {

std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

} // namespace

std::string serviceLogTail(int lines)
{
    const std::string count = std::to_string(lines);
    std::string text;
    for (const char* scope : {"--user ", ""}) {
        const std::string got = run("journalctl " + std::string(scope) + "-u brennmarkd -n " + count +
                                    " --no-pager -o short-iso 2>/dev/null");
        if (!got.empty() && got.find("-- No entries --") == std::string::npos)
            text += std::string("# journalctl ") + scope + "-u brennmarkd\n" + got;
    }
    return text.empty() ? "no log lines of brennmarkd in the journal (not run as a systemd unit here)\n" : text;
}

std::string systemDescription()
{
    utsname u{};
    if (::uname(&u) != 0)
        return "POSIX";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

std::vector<std::string> processEnvironment()
{
    std::vector<std::string> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        out.emplace_back(*e);
    return out;
}

} // namespace bm::cli
