#include "cli/cli_output.h"

#include "model/controls.h"

#include <cstdio>

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

} // namespace bm::cli
