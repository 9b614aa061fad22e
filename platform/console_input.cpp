// The line splitting shared by every platform's console reader.
#include "platform/console_input.h"

namespace bm {

void LineSplitter::feed(const char* bytes, std::size_t n, const std::function<void(std::string)>& onLine)
{
    pending_.append(bytes, n);
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            onLine(std::move(line));
    }
}

} // namespace bm
