// Capture files: the writer, the reader and the small JSON reading they need.
#include "link/capture_file.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef BM_HAVE_ZLIB
#include <zlib.h>
#endif

namespace bm {
namespace {

long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool endsWith(const std::string& text, const char* suffix)
{
    const std::string s = suffix;
    return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

// JSON string text with its quotes. Bytes from 0x80 up pass as they are (the
// names are UTF-8 by the time they get here).
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// Seconds with microseconds, without the locale's decimal mark.
std::string secondsText(double t)
{
    const long long us = static_cast<long long>(t * 1e6 + 0.5);
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", us / 1000000, us % 1000000);
    return text;
}

// --- A small JSON reader: one object a line, plain values kept as text --------

struct JsonValue {
    enum class Type { String, Number, Bool, Null, Composite };
    Type type = Type::Null;
    std::string text; // a string's contents, a number's or a boolean's spelling
};

class JsonLine {
public:
    explicit JsonLine(std::string_view text) : s_(text) {}

    // The line as one object; false with a reason when it is not one.
    bool object(std::map<std::string, JsonValue>& fields, std::string& why)
    {
        space();
        if (!take('{'))
            return fail(why, "not a JSON object");
        space();
        if (!take('}')) {
            for (;;) {
                std::string key;
                JsonValue value;
                space();
                if (!string(key) || (space(), !take(':')) || !any(value, 1))
                    return fail(why, "not valid JSON");
                fields[key] = std::move(value);
                space();
                if (take('}'))
                    break;
                if (!take(','))
                    return fail(why, "not valid JSON");
            }
        }
        space();
        if (at_ != s_.size())
            return fail(why, "not valid JSON (text after the object)");
        return true;
    }

private:
    static constexpr int kMaxDepth = 32;

    bool fail(std::string& why, const char* text)
    {
        why = text;
        return false;
    }
    void space()
    {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n'))
            ++at_;
    }
    bool take(char c)
    {
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w)
    {
        if (s_.substr(at_, w.size()) != w)
            return false;
        at_ += w.size();
        return true;
    }
    bool string(std::string& out)
    {
        if (!take('"'))
            return false;
        while (at_ < s_.size()) {
            const char c = s_[at_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size())
                return false;
            const char e = s_[at_++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (at_ + 4 > s_.size())
                    return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = hexDigitValue(s_[at_++]);
                    if (d < 0)
                        return false;
                    code = code * 16 + static_cast<unsigned>(d);
                }
                // UTF-8 of the code unit (pairs are not joined: names are short
                // Latin-1 texts, and a lone half is kept rather than refused).
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }
    bool number(std::string& out)
    {
        const std::size_t start = at_;
        take('-');
        const std::size_t digits = at_;
        while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
            ++at_;
        if (at_ == digits)
            return false;
        if (take('.')) {
            const std::size_t frac = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
                ++at_;
            if (at_ == frac)
                return false;
        }
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            const std::size_t exp = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
                ++at_;
            if (at_ == exp)
                return false;
        }
        out.assign(s_.substr(start, at_ - start));
        return true;
    }
    bool any(JsonValue& value, int depth)
    {
        space();
        if (at_ >= s_.size() || depth > kMaxDepth)
            return false;
        const char c = s_[at_];
        if (c == '"') {
            value.type = JsonValue::Type::String;
            return string(value.text);
        }
        if (c == 't' || c == 'f') {
            value.type = JsonValue::Type::Bool;
            value.text = c == 't' ? "true" : "false";
            return word(value.text);
        }
        if (c == 'n') {
            value.type = JsonValue::Type::Null;
            return word("null");
        }
        if (c == '{' || c == '[') {
            value.type = JsonValue::Type::Composite;
            const std::size_t start = at_;
            const char close = c == '{' ? '}' : ']';
            ++at_;
            space();
            if (!take(close)) {
                for (;;) {
                    JsonValue inner;
                    if (c == '{') {
                        std::string key;
                        space();
                        if (!string(key) || (space(), !take(':')))
                            return false;
                    }
                    if (!any(inner, depth + 1))
                        return false;
                    space();
                    if (take(close))
                        break;
                    if (!take(','))
                        return false;
                }
            }
            value.text.assign(s_.substr(start, at_ - start));
            return true;
        }
        value.type = JsonValue::Type::Number;
        return number(value.text);
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

bool toDouble(const std::string& text, double& value)
{
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
}

// A data byte of a name packet that is masked: the name packets' data from
// the byte after any index or flag.
int nameDataStart(std::uint8_t code)
{
    switch (code) {
    case 0x03: // DC_FPD: the two display lines
    case 0x89: // DC_RESP_CUST_NAME
        return 0;
    case 0x2C: // DC_CMD_SET_CUST_NAME: a "shown" flag, then the name
    case 0x2E: // DC_CMD_SET_INPUT_NAME: the input's index, then the name
    case 0x8A: // DC_RESP_INPUT_NAME: the index, then the name
        return 1;
    default:
        return -1;
    }
}

} // namespace

bool captureGzipAvailable()
{
#ifdef BM_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

std::string toHex(const std::uint8_t* data, std::size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

bool fromHex(std::string_view hex, std::vector<std::uint8_t>& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexDigitValue(hex[i]);
        const int lo = hexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

// --- NameRedactor ---------------------------------------------------------------

void NameRedactor::apply(std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = data[i];
        switch (where_) {
        case Where::Idle:
            if (b == 0xF1)
                where_ = Where::Count;
            break;
        case Where::Count:
            where_ = Where::Code;
            break;
        case Where::Code:
            code_ = b;
            where_ = Where::Length;
            break;
        case Where::Length:
            remaining_ = b;
            index_ = 0;
            where_ = remaining_ > 0 ? Where::Data : Where::End;
            break;
        case Where::Data: {
            const int start = nameDataStart(code_);
            if (start >= 0 && index_ >= static_cast<std::size_t>(start) && b != 0x00 && b != 0x20)
                data[i] = 'x';
            ++index_;
            if (--remaining_ == 0)
                where_ = Where::End;
            break;
        }
        case Where::End:
            where_ = b == 0xF1 ? Where::Count : Where::Idle;
            break;
        }
    }
}

// --- CaptureWriter ----------------------------------------------------------------

struct CaptureWriter::Sink {
    std::ofstream plain;
#ifdef BM_HAVE_ZLIB
    gzFile gz = nullptr;
#endif
    bool write(const std::string& line)
    {
#ifdef BM_HAVE_ZLIB
        if (gz != nullptr) {
            if (gzwrite(gz, line.data(), static_cast<unsigned>(line.size())) <= 0)
                return false;
            return gzflush(gz, Z_SYNC_FLUSH) == Z_OK;
        }
#endif
        plain.write(line.data(), static_cast<std::streamsize>(line.size()));
        plain.flush();
        return static_cast<bool>(plain);
    }
    void close()
    {
#ifdef BM_HAVE_ZLIB
        if (gz != nullptr)
            gzclose(gz);
        gz = nullptr;
#endif
        if (plain.is_open())
            plain.close();
    }
};

CaptureWriter::CaptureWriter() = default;

CaptureWriter::~CaptureWriter()
{
    close();
}

bool CaptureWriter::open(const std::string& path, std::string& error)
{
    std::lock_guard lock(mutex_);
    auto sink = std::make_unique<Sink>();
    if (endsWith(path, ".gz")) {
#ifdef BM_HAVE_ZLIB
        sink->gz = gzopen(path.c_str(), "wb");
        if (sink->gz == nullptr) {
            error = "cannot write the capture to " + path;
            return false;
        }
#else
        error = "this build cannot write gzip captures (" + path + "); leave out the .gz";
        return false;
#endif
    } else {
        sink->plain.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!sink->plain) {
            error = "cannot write the capture to " + path;
            return false;
        }
    }
    sink_ = std::move(sink);
    startNs_ = nowNs();
    lastT_ = 0;
    headerDone_ = false;
    txRedactor_ = NameRedactor{};
    rxRedactor_ = NameRedactor{};
    return true;
}

bool CaptureWriter::isOpen() const
{
    std::lock_guard lock(mutex_);
    return sink_ != nullptr;
}

void CaptureWriter::setRedact(bool on)
{
    std::lock_guard lock(mutex_);
    redact_ = on;
}

bool CaptureWriter::redacting() const
{
    std::lock_guard lock(mutex_);
    return redact_;
}

void CaptureWriter::setCommand(std::string command)
{
    std::lock_guard lock(mutex_);
    command_ = std::move(command);
}

bool CaptureWriter::headerWritten() const
{
    std::lock_guard lock(mutex_);
    return headerDone_;
}

double CaptureWriter::seconds() const
{
    return static_cast<double>(nowNs() - startNs_) / 1e9;
}

void CaptureWriter::writeLine(const std::string& line)
{
    if (sink_ != nullptr && !sink_->write(line + "\n"))
        sink_->close(); // a full disk ends the capture, not the program
}

std::string CaptureWriter::headerLine(const CaptureHeader& h)
{
    std::string line = "{\"capture\":\"brennmark\",\"format\":" + std::to_string(kCaptureFormat);
    line += ",\"version\":" + quoted(h.version);
    line += ",\"product\":" + quoted(h.product);
    line += ",\"rom\":" + quoted(h.rom);
    line += ",\"port\":" + quoted(h.port);
    line += ",\"line\":{\"baud\":19200,\"data\":8,\"parity\":\"odd\",\"stop\":1,\"flow\":\"none\"}";
    line += ",\"timing\":{";
    for (std::size_t i = 0; i < h.timing.size(); ++i)
        line += (i ? "," : "") + quoted(h.timing[i].first) + ":" + std::to_string(h.timing[i].second);
    line += "}";
    if (!h.command.empty())
        line += ",\"command\":" + quoted(h.command);
    line += std::string(",\"redacted\":") + (h.redacted ? "true" : "false") + "}";
    return line;
}

std::string CaptureWriter::packetLine(double t, bool transmitted, const std::uint8_t* data, std::size_t length)
{
    return "{\"t\":" + secondsText(t) + ",\"dir\":\"" + (transmitted ? "tx" : "rx") + "\",\"hex\":\"" +
           toHex(data, length) + "\"}";
}

std::string CaptureWriter::markLine(double t, std::string_view kind, std::string_view field, std::string_view value)
{
    return "{\"t\":" + secondsText(t) + ",\"mark\":" + quoted(kind) + "," + quoted(field) + ":" + quoted(value) + "}";
}

void CaptureWriter::header(const CaptureHeader& header)
{
    std::lock_guard lock(mutex_);
    if (sink_ == nullptr || headerDone_)
        return;
    headerDone_ = true;
    CaptureHeader h = header;
#ifdef BM_VERSION
    if (h.version.empty())
        h.version = BM_VERSION;
#endif
    h.redacted = redact_;
    if (h.command.empty())
        h.command = command_;
    if (redact_) {
        h.port = "(redacted)";
        h.command.clear();
    }
    writeLine(headerLine(h));
}

void CaptureWriter::packet(bool transmitted, const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length == 0)
        return;
    std::lock_guard lock(mutex_);
    if (sink_ == nullptr || !headerDone_)
        return;
    std::vector<std::uint8_t> bytes(data, data + length);
    if (redact_)
        (transmitted ? txRedactor_ : rxRedactor_).apply(bytes.data(), bytes.size());
    // Two threads write: the times stay in order whichever takes the lock first.
    lastT_ = std::max(lastT_, seconds());
    writeLine(packetLine(lastT_, transmitted, bytes.data(), bytes.size()));
}

void CaptureWriter::mark(std::string_view kind, std::string_view field, std::string_view value)
{
    std::lock_guard lock(mutex_);
    if (sink_ == nullptr || !headerDone_)
        return;
    lastT_ = std::max(lastT_, seconds());
    writeLine(markLine(lastT_, kind, field, value));
}

void CaptureWriter::close()
{
    std::lock_guard lock(mutex_);
    if (sink_ != nullptr)
        sink_->close();
    sink_.reset();
}

// --- Reading ----------------------------------------------------------------------

std::string CaptureError::text() const
{
    return line > 0 ? "line " + std::to_string(line) + ": " + message : message;
}

bool parseCapture(std::string_view text, Capture& capture, CaptureError& error)
{
    capture = Capture{};
    int lineNumber = 0;
    bool headerSeen = false;
    double lastT = 0;
    std::size_t at = 0;
    auto refuse = [&](std::string message) {
        error.line = lineNumber;
        error.message = std::move(message);
        return false;
    };
    while (at < text.size() || !headerSeen) {
        const std::size_t eol = text.find('\n', at);
        const std::string_view line = text.substr(at, eol == std::string_view::npos ? text.size() - at : eol - at);
        at = eol == std::string_view::npos ? text.size() : eol + 1;
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
            if (!headerSeen && at >= text.size())
                return refuse("no capture header (the file is empty)");
            continue;
        }
        std::map<std::string, JsonValue> fields;
        std::string why;
        if (!JsonLine(line).object(fields, why))
            return refuse(why);

        if (!headerSeen) {
            const auto kind = fields.find("capture");
            if (kind == fields.end() || kind->second.text != "brennmark")
                return refuse("not a Brennmark capture header");
            const auto format = fields.find("format");
            if (format == fields.end() || format->second.type != JsonValue::Type::Number)
                return refuse("the capture header has no format");
            if (format->second.text != std::to_string(kCaptureFormat))
                return refuse("capture format " + format->second.text + " is not one this program reads (" +
                              std::to_string(kCaptureFormat) + ")");
            capture.format = kCaptureFormat;
            for (const auto& [key, value] : fields)
                if (value.type != JsonValue::Type::Composite)
                    capture.header[key] = value.text;
            headerSeen = true;
            continue;
        }

        CaptureEvent event;
        event.lineNumber = lineNumber;
        const auto t = fields.find("t");
        if (t == fields.end() || t->second.type != JsonValue::Type::Number || !toDouble(t->second.text, event.t) ||
            event.t < 0)
            return refuse("no valid time \"t\"");
        if (event.t < lastT)
            return refuse("\"t\" " + t->second.text + " is before the line above it (out of order)");
        lastT = event.t;
        const auto dir = fields.find("dir");
        const auto mark = fields.find("mark");
        if (dir != fields.end()) {
            if (dir->second.text != "tx" && dir->second.text != "rx")
                return refuse("\"dir\" is neither \"tx\" nor \"rx\"");
            event.kind = dir->second.text == "tx" ? CaptureEvent::Kind::Tx : CaptureEvent::Kind::Rx;
            const auto hex = fields.find("hex");
            if (hex == fields.end() || hex->second.type != JsonValue::Type::String || hex->second.text.empty() ||
                !fromHex(hex->second.text, event.bytes))
                return refuse("\"hex\" is missing or not pairs of hex digits");
        } else if (mark != fields.end() && mark->second.type == JsonValue::Type::String) {
            event.kind = CaptureEvent::Kind::Mark;
            event.mark = mark->second.text;
            for (const char* field : {"state", "name", "value"}) {
                const auto v = fields.find(field);
                if (v != fields.end() && v->second.type == JsonValue::Type::String) {
                    event.value = v->second.text;
                    break;
                }
            }
        } else {
            return refuse("neither a packet (\"dir\") nor a marker (\"mark\")");
        }
        capture.events.push_back(std::move(event));
    }
    return true;
}

bool gunzip(std::string_view compressed, std::string& out, std::string& error)
{
    out.clear();
#ifdef BM_HAVE_ZLIB
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        error = "cannot start decompressing";
        return false;
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    char buffer[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0)
            break;
        // Members after the first (files joined with cat) are read on.
        if (rc == Z_STREAM_END && z.avail_in > 0) {
            inflateReset(&z);
            rc = Z_OK;
        }
    }
    inflateEnd(&z);
    if (rc == Z_STREAM_END)
        return true;
    error = rc == Z_BUF_ERROR || rc == Z_OK ? "the compressed capture ends early (truncated)"
                                            : "the compressed capture is damaged";
    return false;
#else
    (void)compressed;
    error = "this build cannot read gzip captures";
    return false;
#endif
}

bool writeGzipFile(const std::string& path, std::string_view data, std::string& error)
{
#ifdef BM_HAVE_ZLIB
    gzFile gz = gzopen(path.c_str(), "wb9");
    if (gz == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    const bool written = data.empty() || gzwrite(gz, data.data(), static_cast<unsigned>(data.size())) > 0;
    if (gzclose(gz) != Z_OK || !written) {
        error = "cannot write " + path;
        return false;
    }
    return true;
#else
    (void)data;
    error = "this build cannot write gzip files (" + path + ")";
    return false;
#endif
}

std::string tarArchive(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string out;
    for (const auto& [name, contents] : files) {
        char header[512] = {};
        std::snprintf(header, 100, "%s", name.substr(0, 99).c_str());
        std::snprintf(header + 100, 8, "%07o", 0644u);
        std::snprintf(header + 108, 8, "%07o", 0u);
        std::snprintf(header + 116, 8, "%07o", 0u);
        std::snprintf(header + 124, 12, "%011llo", static_cast<unsigned long long>(contents.size()));
        std::snprintf(header + 136, 12, "%011llo", 0ull);
        header[156] = '0';
        std::memcpy(header + 257, "ustar", 6);
        std::memcpy(header + 263, "00", 2);
        // The checksum counts its own field as blanks.
        std::memset(header + 148, ' ', 8);
        unsigned sum = 0;
        for (const char c : header)
            sum += static_cast<unsigned char>(c);
        std::snprintf(header + 148, 8, "%06o", sum);
        header[155] = ' ';
        out.append(header, sizeof header);
        out += contents;
        out.append((512 - contents.size() % 512) % 512, '\0');
    }
    out.append(1024, '\0');
    return out;
}

bool readCaptureFile(const std::string& path, Capture& capture, CaptureError& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = {0, "cannot read " + path};
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1F && static_cast<unsigned char>(text[1]) == 0x8B) {
        std::string plain, why;
        if (!gunzip(text, plain, why)) {
            // The line the damage is on: the one after the last whole line.
            int line = 1;
            for (const char c : plain)
                line += c == '\n' ? 1 : 0;
            error = {plain.empty() && why.find("cannot read") != std::string::npos ? 0 : line, why};
            return false;
        }
        text = std::move(plain);
    }
    return parseCapture(text, capture, error);
}

// --- PacketFramer -------------------------------------------------------------------

std::vector<std::vector<std::uint8_t>> PacketFramer::feed(const std::uint8_t* data, std::size_t length)
{
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = data[i];
        if (pending_.empty()) {
            if (b == 0xF1)
                pending_.push_back(b);
            continue;
        }
        pending_.push_back(b);
        const std::size_t n = pending_.size();
        if (n == 2 && b < 3) {
            pending_.clear();
            continue;
        }
        if (n == 4 && pending_[1] != b + 3) {
            // Count and data length disagree: a broken packet. Start again
            // from any start byte inside it.
            std::vector<std::uint8_t> rest(pending_.begin() + 1, pending_.end());
            pending_.clear();
            auto again = feed(rest.data(), rest.size());
            packets.insert(packets.end(), again.begin(), again.end());
            continue;
        }
        if (n >= 4 && n == static_cast<std::size_t>(pending_[1]) + 2) {
            if (b == 0xF2) {
                packets.push_back(pending_);
                pending_.clear();
            } else {
                std::vector<std::uint8_t> rest(pending_.begin() + 1, pending_.end());
                pending_.clear();
                auto again = feed(rest.data(), rest.size());
                packets.insert(packets.end(), again.begin(), again.end());
            }
        }
    }
    return packets;
}

} // namespace bm
