// The link's optional diagnostic trace: a stream or a callback that receives the
// writer's and the reader's trace lines, byte for byte. Dormant (and free) while
// nothing is attached.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace bm {

class LinkTrace {
public:
    using Sink = std::function<void(std::string_view)>;

    void attach(std::ostream* stream);
    void attach(Sink sink);
    void detach();
    bool active() const { return active_.load(); }

    // Each call reaches the stream or the sink whole, so a block built by one
    // thread never interleaves with another thread's block.
    void write(std::string_view text);
    void vwritef(const char* format, va_list args);

private:
    std::atomic<bool> active_{false};
    mutable std::mutex mutex_; // guards stream_ and sink_, and serializes the writes to them
    std::ostream* stream_ = nullptr;
    Sink sink_;
};

// printf into a std::string (appending).
void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vappendf(std::string& out, const char* format, va_list args);

// Appends a byte dump: each byte i as `prefix` and two lower-case hex digits,
// followed by `midSuffix` when i % 16 is 7 and by "\r\n" when i % 16 is 15.
void appendByteDump(std::string& out, const std::uint8_t* data, std::size_t length,
                    const char* prefix, const char* midSuffix);

} // namespace bm
