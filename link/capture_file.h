// Captures: what crossed the line, in a form a program can replay.
//
// A capture is JSON Lines (gzip-compressed when the file name ends in ".gz"
// and the build has zlib). The first line is the header:
//   {"capture":"brennmark","format":1,"version":"1.02","product":"DE-1",
//    "rom":"99/03/09 18:34","port":"/dev/ttyUSB0","line":{"baud":19200,
//    "data":8,"parity":"odd","stop":1,"flow":"none"},"timing":{...},
//    "redacted":false,"command":"status"}
// Every later line has "t", seconds since the capture began, never less than
// the line before it, and is one of
//   {"t":0.0123,"dir":"tx","hex":"f1041100f2"}   bytes written to the port
//   {"t":0.0150,"dir":"rx","hex":"f104e0"}       bytes read, as read (partial
//                                                packets and noise included)
//   {"t":0.0001,"mark":"line","state":"connected"} the link's line state
//   {"t":0.0002,"mark":"op","name":"set volume"}   the operation holding the
//                                                line when the next request went
// Readers ignore fields they do not know. Standard library (and zlib) only.
#pragma once

#include "platform/hex_digit.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bm {

inline constexpr int kCaptureFormat = 1;

// True when this build reads and writes gzip captures.
bool captureGzipAvailable();

// What the header says about the run.
struct CaptureHeader {
    std::string version;  // Brennmark's
    std::string product;  // as known when the capture began ("" when not yet)
    std::string rom;
    std::string port;     // the device path (or tcp:// address)
    std::vector<std::pair<std::string, int>> timing; // the "Comm" timing values in force
    std::string command;  // what the run was asked to do ("" when not told)
    bool redacted = false;
};

// Masks the unit's names in a byte stream: the data of the name packets
// (custom name, input names, both ways) and of the front-panel text, which
// shows them. Bytes other than NUL and blank become 'x'; the framing, the
// lengths and an input name's index stay. Keeps its place across chunks, so
// a packet split over several reads is masked whole.
class NameRedactor {
public:
    void apply(std::uint8_t* data, std::size_t length);

private:
    enum class Where { Idle, Count, Code, Length, Data, End };
    Where where_ = Where::Idle;
    std::uint8_t code_ = 0;
    std::size_t remaining_ = 0; // data bytes still to come
    std::size_t index_ = 0;     // data bytes seen
};

// Writes a capture. Every call is one whole line, flushed at once, so a
// capture cut short by a crash still holds everything up to it. Any thread.
class CaptureWriter {
public:
    CaptureWriter();
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or truncates) `path`; false with the reason in `error`.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const;
    // With redaction on, the port path and the unit's names are masked.
    void setRedact(bool on);
    bool redacting() const;
    // The command the header names when its caller gave none (ignored when
    // redacting: a command may hold names).
    void setCommand(std::string command);

    // The header is written once, by the first call; later calls do nothing.
    void header(const CaptureHeader& header);
    bool headerWritten() const;
    void packet(bool transmitted, const std::uint8_t* data, std::size_t length);
    // A marker line: {"t":..,"mark":kind,field:value}.
    void mark(std::string_view kind, std::string_view field, std::string_view value);
    void close();

    // The line text of each kind, for the writer and the tests.
    static std::string headerLine(const CaptureHeader& header);
    static std::string packetLine(double t, bool transmitted, const std::uint8_t* data, std::size_t length);
    static std::string markLine(double t, std::string_view kind, std::string_view field, std::string_view value);

private:
    struct Sink;
    double seconds() const;
    void writeLine(const std::string& line);

    mutable std::mutex mutex_; // guards everything below
    std::unique_ptr<Sink> sink_;
    bool redact_ = false;
    std::string command_;
    bool headerDone_ = false;
    NameRedactor txRedactor_, rxRedactor_;
    long long startNs_ = 0;
    double lastT_ = 0;
};

// A capture as read back.
struct CaptureEvent {
    enum class Kind { Tx, Rx, Mark };
    Kind kind = Kind::Mark;
    double t = 0;
    std::vector<std::uint8_t> bytes; // Tx, Rx
    std::string mark;                // Mark: its kind ("line", "op", ...)
    std::string value;               // Mark: its state or name
    int lineNumber = 0;              // in the file, from 1
};

struct Capture {
    int format = 0;
    // The header's plain fields as text (numbers and booleans as written).
    std::map<std::string, std::string> header;
    std::vector<CaptureEvent> events;
};

struct CaptureError {
    int line = 0; // 0: the file as a whole (cannot be read)
    std::string message;
    std::string text() const;
};

// Parses capture text. Refuses, with the line number: a first line that is not
// a capture header, a format this program does not read, a line that is not a
// JSON object, a packet line without "t", "dir" or "hex", hex that is not
// pairs of hex digits, an unknown direction, and a "t" less than the line
// before it. Blank lines are skipped. Never reads past `text`.
bool parseCapture(std::string_view text, Capture& capture, CaptureError& error);

// Reads a capture file, gzip or plain (told by its first bytes, not its name).
bool readCaptureFile(const std::string& path, Capture& capture, CaptureError& error);

// Decompresses gzip data; on a truncated or damaged stream, false and the
// message, with what was decoded so far in `out` (to count its lines).
bool gunzip(std::string_view compressed, std::string& out, std::string& error);

// Writes `data` to `path` gzip-compressed (replacing it); false with the reason,
// also where the build has no zlib.
bool writeGzipFile(const std::string& path, std::string_view data, std::string& error);

// A tar archive (ustar) of plain files, as bytes: each name (at most 99
// characters) with its contents, mode 0644.
std::string tarArchive(const std::vector<std::pair<std::string, std::string>>& files);

// Splits a byte stream into the protocol's packets (F1, N, code, L, data, F2):
// bytes outside a packet and broken packets are skipped.
class PacketFramer {
public:
    // Feeds bytes; returns the whole packets they completed.
    std::vector<std::vector<std::uint8_t>> feed(const std::uint8_t* data, std::size_t length);
    bool partial() const { return !pending_.empty(); }
    void reset() { pending_.clear(); }

private:
    std::vector<std::uint8_t> pending_;
};

// Lower-case hex of bytes, and back (false for anything but pairs of hex digits).
std::string toHex(const std::uint8_t* data, std::size_t length);
bool fromHex(std::string_view hex, std::vector<std::uint8_t>& bytes);

} // namespace bm
