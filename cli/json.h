// Just enough JSON for brennmark-cli's output: quoted strings with escapes, and
// a value written as a number, a boolean or a string as its text reads.
#pragma once

#include <cstdio>
#include <string>

namespace bm::cli {

inline std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // The unit's texts are 8-bit; each byte stands for its Latin-1 character.
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// "on"/"off" as booleans, "+3", "-1.5" and "12" as numbers, anything else a string.
inline std::string jsonValue(const std::string& text)
{
    if (text == "on")
        return "true";
    if (text == "off")
        return "false";
    if (!text.empty() && text.size() < 12 && text.find_first_not_of("+-.0123456789") == std::string::npos &&
        text.find_first_of("0123456789") != std::string::npos) {
        const std::size_t start = text[0] == '+' ? 1 : 0;
        return text.substr(start);
    }
    return jsonString(text);
}

} // namespace bm::cli
