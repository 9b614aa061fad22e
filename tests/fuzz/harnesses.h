// The fuzz targets as plain functions, so that the libFuzzer programs and
// the corpus replay test run the same code.
//
// Restore input:  flags, file length (2 bytes, little-endian), the file, then
//                 the unit's answers as chunks.
// Receiver input: flags, then chunks.
// A chunk is a length byte (taken modulo 65) and that many bytes; a chunk of
// length 0 is a pass in which nothing arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace bm::fuzz {

// Restore flags.
inline constexpr std::uint8_t kAdoptFileIdentity = 0x01; // the unit has the file's identity

// Receiver flags: the link state the bytes arrive into.
inline constexpr std::uint8_t kSaveCapture = 0x01;
inline constexpr std::uint8_t kParamCapture = 0x02;
inline constexpr std::uint8_t kSweepActive = 0x04;
inline constexpr std::uint8_t kReloading = 0x08;
inline constexpr std::uint8_t kUnitHeard = 0x10;
inline constexpr std::uint8_t kWindowOpen = 0x20;

struct RestoreRun {
    bool ran = false;      // the input held a flags byte and a length
    bool restored = false; // RestoreConfiguration returned true
};
RestoreRun runRestoreInput(const std::uint8_t* data, std::size_t size);

struct ReceiverRun {
    std::uint32_t packetsTaken = 0; // ResponsesReceived at the end
    std::size_t captured = 0;       // packets left in the capture queue
};
ReceiverRun runReceiverInput(const std::uint8_t* data, std::size_t size);

// API input: one request line as a client of brennmarkd sends it.
struct ApiRun {
    bool request = false; // a request, not a typed error
};
ApiRun runApiInput(const std::uint8_t* data, std::size_t size);

// Capture input: a capture file's bytes (plain or gzip).
struct CaptureRun {
    bool read = false;      // the capture was read
    std::size_t requests = 0; // requests replayed against it
};
CaptureRun runCaptureInput(const std::uint8_t* data, std::size_t size);

// The harnesses stop the process with a message when a property fails, so a
// broken rule shows as a crash to the fuzzer and as a failure to the replay.
[[noreturn]] inline void propertyFailed(const char* what)
{
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

// Reads the chunk format above.
class ChunkReader {
public:
    ChunkReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    // The next chunk; false when the input is used up.
    bool next(const std::uint8_t*& chunk, std::size_t& length)
    {
        if (done())
            return false;
        const std::size_t wanted = data_[at_++] % 65u;
        length = wanted < size_ - at_ ? wanted : size_ - at_;
        chunk = data_ + at_;
        at_ += length;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace bm::fuzz
