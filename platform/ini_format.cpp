// The QSettings INI grammar without Qt: a line reader that knows quotes,
// backslash continuations and comments, a key and a value decoder, and the
// writer with QSettings' escapes, quoting and order.
#include "platform/ini_format.h"
#include "platform/hex_digit.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace bm::ini {

namespace {

// ---- UTF-8 ----------------------------------------------------------------

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

// The code points of `bytes`; a byte that starts no valid sequence reads as
// U+FFFD, as QString::fromUtf8 reads it.
std::vector<char32_t> codePoints(std::string_view bytes)
{
    std::vector<char32_t> out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int extra = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, least = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        bool ok = i + static_cast<std::size_t>(extra) < bytes.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string utf8Of(const std::vector<char32_t>& cps)
{
    std::string out;
    for (char32_t cp : cps)
        appendUtf8(out, cp);
    return out;
}

// The bytes as QString::fromUtf8 would leave them: invalid sequences replaced.
std::string cleanUtf8(std::string_view bytes)
{
    return utf8Of(codePoints(bytes));
}

constexpr char kHex[] = "0123456789ABCDEF";

int octValue(char c)
{
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

bool isHexDigit(char32_t cp)
{
    return cp < 0x80 && hexDigitValue(static_cast<char>(cp)) >= 0;
}

std::string lowerHex(unsigned value)
{
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    return std::string(buffer, result.ptr);
}

// ---- lines ----------------------------------------------------------------

bool isLineSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

struct Line {
    std::size_t start = 0;
    std::size_t length = 0;
    std::size_t equals = std::string_view::npos;
};

// The next logical line from `pos`: leading blanks skipped, a comment line
// (';' first) skipped, a ';' outside quotes ending the line, a backslash
// taking the next character (a line end too) with it, quotes spanning lines.
bool readLine(std::string_view data, std::size_t& pos, Line& line)
{
    bool inQuotes = false;
    line.equals = std::string_view::npos;
    std::size_t start = pos;
    while (start < data.size() && isLineSpace(data[start]))
        ++start;
    std::size_t i = start;
    while (i < data.size()) {
        char ch = data[i];
        while (!isSpecial(ch)) {
            if (++i == data.size())
                goto done;
            ch = data[i];
        }
        ++i;
        if (ch == '=') {
            if (!inQuotes && line.equals == std::string_view::npos)
                line.equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        } else if (ch == '\\') {
            if (i < data.size()) {
                const char next = data[i++];
                if (i < data.size()) {
                    const char after = data[i];
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == start + 1) {
                while (i < data.size() && data[i] != '\n' && data[i] != '\r')
                    ++i;
                while (i < data.size() && isLineSpace(data[i]))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        }
    }
done:
    pos = i;
    line.start = start;
    line.length = i - start;
    return line.length > 0;
}

std::string_view trimmed(std::string_view s)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// ---- values ---------------------------------------------------------------

void chopTrailingBlanks(std::string& s, std::size_t limit)
{
    while (s.size() > limit && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
}

// Splits and unescapes a value: false for one text in `text`, true for a
// list (an unquoted comma) in `items`.
bool unescapeValue(std::string_view str, std::string& text, std::vector<std::string>& items)
{
    static constexpr char kEscapes[][2] = {
        {'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'},  {'t', '\t'},
        {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'},
    };
    bool isList = false;
    bool endsOnEscape = false; // a lone backslash or \x at the end: no blanks chopped
    bool inQuotes = false;
    bool quoted = false;
    std::size_t i = 0;
    std::size_t chopLimit = 0;

    auto skipBlanks = [&] {
        while (i < str.size() && (str[i] == ' ' || str[i] == '\t'))
            ++i;
    };
    // A numeric escape's value; QString holds it as one UTF-16 unit.
    auto numeric = [&](int base) {
        unsigned value = 0;
        while (i < str.size()) {
            const int digit = base == 16 ? hexDigitValue(str[i]) : octValue(str[i]);
            if (digit < 0)
                break;
            value = (value * static_cast<unsigned>(base) + static_cast<unsigned>(digit)) & 0xFFFF;
            ++i;
        }
        appendUtf8(text, value >= 0xD800 && value <= 0xDFFF ? kReplacement : char32_t(value));
    };

    skipBlanks();
    chopLimit = text.size();
    while (i < str.size()) {
        const char c = str[i];
        if (c == '\\') {
            ++i;
            if (i >= str.size()) {
                endsOnEscape = true;
                break;
            }
            const char e = str[i++];
            bool done = false;
            for (const auto& pair : kEscapes) {
                if (e == pair[0]) {
                    text += pair[1];
                    done = true;
                    break;
                }
            }
            if (done) {
                chopLimit = text.size();
                continue;
            }
            if (e == 'x') {
                if (i >= str.size()) {
                    endsOnEscape = true;
                    break;
                }
                if (hexDigitValue(str[i]) >= 0)
                    numeric(16);
            } else if (octValue(e) >= 0) {
                --i;
                numeric(8);
            } else if (e == '\n' || e == '\r') {
                if (i < str.size() && (str[i] == '\n' || str[i] == '\r') && str[i] != e)
                    ++i;
            }
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
                chopLimit = text.size();
            }
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingBlanks(text, chopLimit);
            isList = true;
            items.push_back(text);
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
            chopLimit = 0;
        } else {
            std::size_t j = i + 1;
            while (j < str.size() && str[j] != '\\' && str[j] != '"' && str[j] != ',')
                ++j;
            text += cleanUtf8(str.substr(i, j - i));
            i = j;
        }
    }
    if (!quoted && !endsOnEscape)
        chopTrailingBlanks(text, chopLimit);
    if (isList) {
        items.push_back(text);
        text.clear();
    }
    return isList;
}

// The value forms QSettings keeps as something other than a text.
bool isTypedForm(std::string_view s)
{
    if (s.empty() || s.front() != '@' || s.back() != ')')
        return false;
    for (std::string_view prefix : {"@ByteArray(", "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("})
        if (startsWith(s, prefix))
            return true;
    return s == "@Invalid()";
}

// QSettings' escape of one text; `useCodec` false for the binary forms
// (@ByteArray, @Variant, @DateTime), whose characters above 0x7E are written
// as \x escapes.
void escapeText(const std::vector<char32_t>& cps, bool useCodec, std::string& out)
{
    const std::size_t start = out.size();
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (char32_t cp : cps) {
        if (cp == ';' || cp == ',' || cp == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && isHexDigit(cp)) {
            out += "\\x" + lowerHex(cp);
            continue;
        }
        escapeNextIfDigit = false;
        switch (cp) {
        case 0: out += "\\0"; escapeNextIfDigit = true; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"':
        case '\\':
            out += '\\';
            out += static_cast<char>(cp);
            break;
        default:
            if (cp <= 0x1F || (cp >= 0x7F && !useCodec)) {
                out += "\\x" + lowerHex(cp);
                escapeNextIfDigit = true;
            } else {
                appendUtf8(out, cp);
            }
        }
    }
    if (needsQuotes || (out.size() > start && (out[start] == ' ' || out.back() == ' '))) {
        out.insert(start, 1, '"');
        out += '"';
    }
}

bool binaryForm(std::string_view s)
{
    return startsWith(s, "@ByteArray(") || startsWith(s, "@Variant(") || startsWith(s, "@DateTime(");
}

void escapeItem(std::string_view utf8, std::string& out)
{
    escapeText(codePoints(utf8), !binaryForm(utf8), out);
}

} // namespace

std::string escapeKey(std::string_view utf8)
{
    std::string out;
    for (char32_t cp : codePoints(utf8)) {
        if (cp == '/') {
            out += '\\';
        } else if ((cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') ||
                   cp == '_' || cp == '-' || cp == '.') {
            out += static_cast<char>(cp);
        } else if (cp <= 0xFF) {
            out += '%';
            out += kHex[cp / 16];
            out += kHex[cp % 16];
        } else {
            // One %U escape per UTF-16 unit.
            auto unit = [&](unsigned u) {
                out += "%U";
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += kHex[(u >> shift) & 0xF];
            };
            if (cp >= 0x10000) {
                unit(0xD800 + ((cp - 0x10000) >> 10));
                unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                unit(cp);
            }
        }
    }
    return out;
}

std::string unescapeKey(std::string_view escaped)
{
    const std::vector<char32_t> in = codePoints(escaped);
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        const char32_t c = in[i];
        if (c == '\\') {
            out += '/';
            ++i;
            continue;
        }
        if (c != '%' || i == in.size() - 1) {
            appendUtf8(out, c);
            ++i;
            continue;
        }
        std::size_t first = i + 1;
        std::size_t digits = 2;
        if (in[i + 1] == 'U') {
            ++first;
            digits = 4;
        }
        unsigned value = 0;
        bool ok = first + digits <= in.size();
        for (std::size_t k = 0; ok && k < digits; ++k) {
            const int d = isHexDigit(in[first + k]) ? hexDigitValue(static_cast<char>(in[first + k])) : -1;
            if (d < 0)
                ok = false;
            else
                value = value * 16 + static_cast<unsigned>(d);
        }
        if (!ok) {
            out += '%';
            ++i;
            continue;
        }
        appendUtf8(out, value >= 0xD800 && value <= 0xDFFF ? kReplacement : char32_t(value));
        i = first + digits;
    }
    return out;
}

std::string encodeText(std::string_view utf8)
{
    std::string shown;
    if (utf8.find('\0') != std::string_view::npos)
        shown = "@String(" + std::string(utf8) + ")";
    else if (!utf8.empty() && utf8.front() == '@')
        shown = "@" + std::string(utf8);
    else
        shown = std::string(utf8);
    std::string out;
    escapeItem(shown, out);
    return out;
}

Value decodeValue(std::string_view valueText)
{
    Value value;
    if (unescapeValue(valueText, value.text, value.list)) {
        value.kind = Value::Kind::List;
        return value;
    }
    std::string& s = value.text;
    if (startsWith(s, "@String(") && s.back() == ')') {
        s = s.substr(8, s.size() - 9);
    } else if (isTypedForm(s)) {
        value.kind = Value::Kind::Raw;
    } else if (startsWith(s, "@@")) {
        s.erase(0, 1);
    }
    return value;
}

std::optional<std::string> textOf(const Value& value)
{
    switch (value.kind) {
    case Value::Kind::Text:
        return value.text;
    case Value::Kind::List:
        return std::string();
    case Value::Kind::Raw:
        if (value.text == "@Invalid()")
            return std::nullopt;
        if (startsWith(value.text, "@ByteArray(")) {
            // The bytes are the characters' low eight bits, read as UTF-8.
            std::string bytes;
            for (char32_t cp : codePoints(std::string_view(value.text).substr(11, value.text.size() - 12)))
                bytes += static_cast<char>(cp & 0xFF);
            return cleanUtf8(bytes);
        }
        return std::string();
    }
    return std::string();
}

Document parse(std::string_view bytes)
{
    Document doc;
    if (startsWith(bytes, "\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    std::string section; // "" or "name/"
    std::size_t pos = 0;
    Line line;
    while (readLine(bytes, pos, line)) {
        const std::string_view text = bytes.substr(line.start, line.length);
        if (text.front() == '[') {
            const std::size_t close = text.find(']');
            std::string_view name = close == std::string_view::npos ? text.substr(1) : text.substr(1, close - 1);
            name = trimmed(name);
            if (equalsNoCase(name, "general")) {
                section.clear();
            } else {
                if (equalsNoCase(name, "%general"))
                    section = std::string(name.substr(1));
                else
                    section = unescapeKey(name);
                section += '/';
            }
            continue;
        }
        if (line.equals == std::string_view::npos)
            continue;
        std::size_t keyEnd = line.equals;
        while (keyEnd > line.start && (bytes[keyEnd - 1] == ' ' || bytes[keyEnd - 1] == '\t'))
            --keyEnd;
        const std::string key = section + unescapeKey(bytes.substr(line.start, keyEnd - line.start));
        doc[key] = decodeValue(bytes.substr(line.equals + 1, line.start + line.length - line.equals - 1));
    }
    return doc;
}

std::string write(const Document& doc)
{
    // Sections by name (the top level's "" first), keys by name inside each;
    // the document's order is already the keys' byte order, which for the
    // section prefix is the section's order, so only the grouping is needed.
    struct Entry {
        std::string rest;
        const Value* value;
    };
    std::map<std::string, std::vector<Entry>> sections;
    for (const auto& [key, value] : doc) {
        const std::size_t slash = key.find('/');
        if (slash == std::string::npos)
            sections[""].push_back({key, &value});
        else
            sections[key.substr(0, slash)].push_back({key.substr(slash + 1), &value});
    }
    std::string out;
    bool first = true;
    for (auto& [name, entries] : sections) {
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.rest < b.rest; });
        std::string header = escapeKey(name);
        if (header.empty())
            header = "[General]";
        else if (equalsNoCase(header, "general"))
            header = "[%General]";
        else
            header = "[" + header + "]";
        if (!first)
            out += '\n';
        first = false;
        out += header;
        out += '\n';
        for (const Entry& e : entries) {
            out += escapeKey(e.rest);
            out += '=';
            switch (e.value->kind) {
            case Value::Kind::Text:
                out += encodeText(e.value->text);
                break;
            case Value::Kind::Raw:
                escapeItem(e.value->text, out);
                break;
            case Value::Kind::List:
                if (e.value->list.empty())
                    out += "@Invalid()";
                for (std::size_t k = 0; k < e.value->list.size(); ++k) {
                    if (k != 0)
                        out += ", ";
                    escapeItem(e.value->list[k], out);
                }
                break;
            }
            out += '\n';
        }
    }
    return out;
}

std::string latin1ToUtf8(std::string_view latin1)
{
    std::string out;
    out.reserve(latin1.size());
    for (char c : latin1)
        appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string utf8ToLatin1(std::string_view utf8)
{
    std::string out;
    for (char32_t cp : codePoints(utf8)) {
        if (cp >= 0x10000)
            out += "??"; // two UTF-16 units, each out of Latin-1
        else
            out += cp <= 0xFF ? static_cast<char>(cp) : '?';
    }
    return out;
}

std::optional<int> parseInt(std::string_view text)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-')
            return std::nullopt;
    }
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    long long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

} // namespace bm::ini
