// Other tools' captures, read line by line into packet lines.
#include "link/capture_import.h"

#include "link/capture_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <regex>
#include <vector>

namespace bm {
namespace {

struct Chunk {
    bool tx = false;
    std::optional<double> t; // seconds, from any origin
    std::vector<std::uint8_t> bytes;
};

std::vector<std::string_view> linesOf(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(at, eol - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        at = eol + 1;
    }
    return lines;
}

bool isHexPair(std::string_view token)
{
    return token.size() == 2 && hexDigitValue(token[0]) >= 0 && hexDigitValue(token[1]) >= 0;
}

// A dump line: two-digit hex bytes separated by single blanks, up to a wider
// gap or anything else (the text column).
std::vector<std::uint8_t> dumpBytes(std::string_view line)
{
    std::vector<std::uint8_t> bytes;
    std::size_t at = line.find_first_not_of(" \t");
    while (at != std::string_view::npos && at + 2 <= line.size() && isHexPair(line.substr(at, 2)) &&
           (at + 2 == line.size() || line[at + 2] == ' ')) {
        bytes.push_back(static_cast<std::uint8_t>(hexDigitValue(line[at]) * 16 + hexDigitValue(line[at + 1])));
        at += 2;
        if (at + 1 < line.size() && line[at] == ' ' && line[at + 1] != ' ' && line[at + 1] != '\t')
            ++at;
        else
            break;
    }
    return bytes;
}

// Days since 1970-01-01 of a civil date.
long daysFromCivil(long y, long m, long d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

double clockSeconds(const std::string& h, const std::string& m, const std::string& s)
{
    return std::stol(h) * 3600.0 + std::stol(m) * 60.0 + std::stod(s);
}

const std::regex kSocatHeader(R"(^([<>]) (\d{4})/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d(?:\.\d+)?)\s+length=(\d+).*$)");
const std::regex kJpnevulatorHeader(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d(?:\.\d+)?): (\S.*)$)");
const std::regex kSentRecv(R"(^(?:.*?(\d\d):(\d\d):(\d\d(?:\.\d+)?)\S*\s+)?(?:\S+\s+)?(Sent|Send|Recv|Received|Rcvd):\s*(.*)$)",
                           std::regex::icase);

bool readSocat(const std::vector<std::string_view>& lines, std::vector<Chunk>& chunks, std::string& error)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line(lines[i]);
        std::smatch m;
        if (!std::regex_match(line, m, kSocatHeader))
            continue;
        Chunk chunk;
        chunk.tx = m[1] == ">";
        chunk.t = daysFromCivil(std::stol(m[2]), std::stol(m[3]), std::stol(m[4])) * 86400.0 +
                  clockSeconds(m[5], m[6], m[7]);
        const std::size_t length = std::stoul(m[8]);
        std::size_t j = i + 1;
        for (; j < lines.size() && chunk.bytes.size() < length; ++j) {
            const std::string next(lines[j]);
            if (next == "--" || std::regex_match(next, kSocatHeader))
                break;
            const auto bytes = dumpBytes(next);
            chunk.bytes.insert(chunk.bytes.end(), bytes.begin(), bytes.end());
        }
        if (chunk.bytes.size() != length) {
            error = "line " + std::to_string(i + 1) + ": socat says length=" + std::to_string(length) + ", the dump has " +
                    std::to_string(chunk.bytes.size()) + " bytes";
            return false;
        }
        chunks.push_back(std::move(chunk));
        i = j - 1;
    }
    return true;
}

bool readJpnevulator(const std::vector<std::string_view>& lines, std::vector<Chunk>& chunks, std::string& error)
{
    std::string host;
    Chunk* current = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line(lines[i]);
        std::smatch m;
        if (std::regex_match(line, m, kJpnevulatorHeader)) {
            const std::string device = m[7];
            if (host.empty())
                host = device;
            Chunk chunk;
            chunk.tx = device == host;
            chunk.t = daysFromCivil(std::stol(m[1]), std::stol(m[2]), std::stol(m[3])) * 86400.0 +
                      clockSeconds(m[4], m[5], m[6]);
            chunks.push_back(std::move(chunk));
            current = &chunks.back();
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        const auto bytes = dumpBytes(line);
        if (current == nullptr || bytes.empty()) {
            error = "line " + std::to_string(i + 1) + ": not a jpnevulator dump line";
            return false;
        }
        current->bytes.insert(current->bytes.end(), bytes.begin(), bytes.end());
    }
    return true;
}

// "F1 03 16", "0xF1,0x03", "f10316": the bytes of a Sent/Recv line.
bool lineBytes(std::string text, std::vector<std::uint8_t>& bytes)
{
    for (std::size_t p; (p = text.find("0x")) != std::string::npos || (p = text.find("0X")) != std::string::npos;)
        text.erase(p, 2);
    std::replace(text.begin(), text.end(), ',', ' ');
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
        tokens.push_back(text.substr(at, end - at));
        at = end;
    }
    if (tokens.size() == 1 && tokens[0].size() > 2)
        return fromHex(tokens[0], bytes);
    bytes.clear();
    for (const std::string& t : tokens) {
        if (t.empty() || t.size() > 2 || hexDigitValue(t[0]) < 0 || (t.size() == 2 && hexDigitValue(t[1]) < 0))
            return false;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(t, nullptr, 16)));
    }
    return !bytes.empty();
}

bool readSentRecv(const std::vector<std::string_view>& lines, std::vector<Chunk>& chunks, std::string& error)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string line(lines[i]);
        std::smatch m;
        if (!std::regex_match(line, m, kSentRecv))
            continue;
        Chunk chunk;
        std::string word = m[4];
        std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
        chunk.tx = word == "sent" || word == "send";
        if (m[1].matched)
            chunk.t = clockSeconds(m[1], m[2], m[3]);
        if (!lineBytes(m[5], chunk.bytes)) {
            error = "line " + std::to_string(i + 1) + ": the bytes are not hex";
            return false;
        }
        chunks.push_back(std::move(chunk));
    }
    return true;
}

} // namespace

ImportFormat detectImportFormat(std::string_view text)
{
    const auto lines = linesOf(text);
    for (const std::string_view l : lines) {
        if (l.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        const std::string line(l);
        if (std::regex_match(line, kSocatHeader))
            return ImportFormat::Socat;
        if (std::regex_match(line, kJpnevulatorHeader))
            return ImportFormat::Jpnevulator;
        if (std::regex_match(line, kSentRecv))
            return ImportFormat::SentRecv;
        // A socat dump may start with its own notices; the others start with their format.
        if (line.rfind("20", 0) != 0 && line.find("socat[") == std::string::npos)
            break;
    }
    return ImportFormat::Unknown;
}

const char* importFormatName(ImportFormat format)
{
    switch (format) {
    case ImportFormat::Socat: return "socat -x";
    case ImportFormat::SentRecv: return "Sent/Recv text";
    case ImportFormat::Jpnevulator: return "jpnevulator";
    case ImportFormat::Unknown: break;
    }
    return "unknown";
}

bool importCapture(std::string_view text, std::string& capture, std::string& error)
{
    const ImportFormat format = detectImportFormat(text);
    const auto lines = linesOf(text);
    std::vector<Chunk> chunks;
    bool ok = false;
    switch (format) {
    case ImportFormat::Socat: ok = readSocat(lines, chunks, error); break;
    case ImportFormat::Jpnevulator: ok = readJpnevulator(lines, chunks, error); break;
    case ImportFormat::SentRecv: ok = readSentRecv(lines, chunks, error); break;
    case ImportFormat::Unknown:
        error = "not a capture of socat -x, a Sent:/Recv: text or a jpnevulator dump";
        return false;
    }
    if (!ok)
        return false;

    CaptureHeader header;
    header.port = "(imported)";
    header.command = std::string("imported from ") + importFormatName(format);
    capture = CaptureWriter::headerLine(header) + "\n";
    std::optional<double> origin;
    double t = 0;
    bool first = true;
    for (const Chunk& c : chunks) {
        if (c.bytes.empty())
            continue;
        if (c.t && !origin)
            origin = *c.t;
        // A time of day that went back (midnight) or is missing: just after the last.
        const double next = c.t ? *c.t - *origin : first ? 0.0 : t + 0.010;
        t = first ? std::max(next, 0.0) : std::max(next, t);
        first = false;
        capture += CaptureWriter::packetLine(t, c.tx, c.bytes.data(), c.bytes.size()) + "\n";
    }
    return true;
}

} // namespace bm
