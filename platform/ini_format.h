// The INI files the Qt panel keeps its settings in (QSettings::IniFormat),
// read and written without Qt, byte for byte as QSettings lays them out:
// top-level keys under [General], a key's first path level as its section and
// the rest joined with backslashes, keys percent-escaped, texts in UTF-8 with
// C escapes and quoted where a comma, semicolon, equals sign or edge blank
// would change them, lists comma-separated, sections and keys sorted.
// Comments go on a rewrite, as with QSettings; every key stays, and a value of
// a type this code does not decode (@ByteArray, @Variant, ...) keeps its text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm::ini {

// One stored value. Texts are UTF-8.
struct Value {
    enum class Kind { Text, List, Raw };
    Kind kind = Kind::Text;
    std::string text;              // Text: the text; Raw: the value as it stands in the file
    std::vector<std::string> list; // List: the items
};

// Keys are QSettings keys: path levels joined with '/', "" level = root.
using Document = std::map<std::string, Value>;

// Parses a file's bytes as QSettings reads them. Never fails: lines it cannot
// read are skipped, as QSettings skips them.
Document parse(std::string_view bytes);
// The file's bytes for `doc`, as QSettings writes them.
std::string write(const Document& doc);

// A key level's escaped form: [A-Za-z0-9_.-] stay, '/' becomes '\', anything
// else %XX (%UXXXX above U+00FF). `utf8` is UTF-8.
std::string escapeKey(std::string_view utf8);
std::string unescapeKey(std::string_view escaped);

// A text value as QSettings writes it and reads it back.
std::string encodeText(std::string_view utf8);
// The value text after '=' (without the line end): a Text, a List or a Raw.
Value decodeValue(std::string_view valueText);

// The text a value reads as (QVariant::toString of what QSettings decodes):
// nullopt for a value that reads as absent (@Invalid()).
std::optional<std::string> textOf(const Value& value);

// Latin-1 bytes to UTF-8 and back (code points above U+00FF become '?', as
// QString::toLatin1 gives).
std::string latin1ToUtf8(std::string_view latin1);
std::string utf8ToLatin1(std::string_view utf8);

// QString::toInt on a stored text: decimal, an optional sign, blanks around
// it allowed; nullopt when it is not a number or outside int.
std::optional<int> parseInt(std::string_view text);

} // namespace bm::ini
