#include "cli/cli_output.h"

#include "model/controls.h"

#include "cli/cli_session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bm::cli {

void out(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// One JSON document a line; the unit's texts are UTF-8 by now, and anything
// that is not (a file's bytes) is replaced rather than refused.
void outJson(const nlohmann::ordered_json& value)
{
    out(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

std::string shown(const std::string& text)
{
    return controls::escapeControlCharacters(text);
}

int finishOutput(int status)
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !std::ferror(stdout))
        return status;
    const int why = errno;
    std::fprintf(stderr, "brennmark-cli: cannot write to standard output%s%s\n", why != 0 ? ": " : "",
                 why != 0 ? std::strerror(why) : "");
    return status == kExitOk ? kExitError : status;
}

} // namespace bm::cli
