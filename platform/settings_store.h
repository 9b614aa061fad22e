// The per-user settings store: integers and strings by section and value name.
// A section such as "Config\\Params\\Names" is a path of subsections; the empty
// section is the root. Back-ends: QSettingsStore (real) and InMemorySettings (tests).
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bm {

// One value of a batch write.
struct SettingsValue {
    std::string section;
    std::string name;
    std::variant<int, std::string> value;
};

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual int readInt(std::string_view section, std::string_view name, int defaultValue) = 0;
    virtual std::string readString(std::string_view section, std::string_view name,
                                   std::string_view defaultValue) = 0;
    // Writes create the section when needed and report success.
    virtual bool writeInt(std::string_view section, std::string_view name, int value) = 0;
    virtual bool writeString(std::string_view section, std::string_view name,
                             std::string_view value) = 0;
    // True when the value exists (of either type).
    virtual bool contains(std::string_view section, std::string_view name) = 0;
    // Writes every value, in order, as one change of the store where the
    // back-end can (one file write instead of one per value). A back-end that
    // cannot still writes them in the order given, so a value written last is
    // only there when everything before it is. True when all were taken.
    virtual bool writeBatch(const std::vector<SettingsValue>& values);
};

} // namespace bm
