// The link trace's sink switching and formatting helpers.
#include "link/trace.h"

#include <cstdio>

namespace bm {

void LinkTrace::attach(std::ostream* stream)
{
    std::lock_guard lock(mutex_);
    stream_ = stream;
    sink_ = nullptr;
    active_ = stream_ != nullptr;
}

void LinkTrace::attach(Sink sink)
{
    std::lock_guard lock(mutex_);
    stream_ = nullptr;
    sink_ = std::move(sink);
    active_ = static_cast<bool>(sink_);
}

void LinkTrace::detach()
{
    std::lock_guard lock(mutex_);
    stream_ = nullptr;
    sink_ = nullptr;
    active_ = false;
}

void LinkTrace::write(std::string_view text)
{
    if (!active_.load() || text.empty())
        return;
    std::lock_guard lock(mutex_);
    if (stream_ != nullptr) {
        stream_->write(text.data(), static_cast<std::streamsize>(text.size()));
        stream_->flush();
    } else if (sink_) {
        sink_(text);
    }
}

void LinkTrace::vwritef(const char* format, va_list args)
{
    if (!active_.load())
        return;
    std::string text;
    vappendf(text, format, args);
    write(text);
}

void vappendf(std::string& out, const char* format, va_list args)
{
    char small[256];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, args);
    out.resize(at + static_cast<std::size_t>(n));
}

void appendf(std::string& out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vappendf(out, format, args);
    va_end(args);
}

void appendByteDump(std::string& out, const std::uint8_t* data, std::size_t length,
                    const char* prefix, const char* midSuffix)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t column = i % 16;
        appendf(out, "%s%02x%s", prefix, data[i],
                column == 7 ? midSuffix : column == 15 ? "\r\n" : "");
    }
}

} // namespace bm
