// IniSettingsStore: the QSettings INI file read through ini_format, written
// under QSettings' lock file through the atomic replace of file_access.
#include "platform/ini_settings.h"

#include "platform/file_access.h"

#include <filesystem>
#include <system_error>

namespace bm {

namespace {

constexpr std::size_t kFileLimit = 16 * 1024 * 1024;
constexpr std::chrono::milliseconds kLockPatience{10000};

// The QSettings key of a section and value name: backslashes become '/',
// repeated and outer slashes go, as QSettings normalises a key.
std::string keyOf(std::string_view section, std::string_view name)
{
    std::string joined(section);
    joined += '/';
    joined += name;
    std::string key;
    for (char c : joined) {
        if (c == '\\')
            c = '/';
        if (c == '/' && (key.empty() || key.back() == '/'))
            continue;
        key += c;
    }
    if (!key.empty() && key.back() == '/')
        key.pop_back();
    return ini::latin1ToUtf8(key);
}

std::string textOfValue(const std::variant<int, std::string>& value)
{
    if (const int* i = std::get_if<int>(&value))
        return std::to_string(*i);
    return ini::latin1ToUtf8(std::get<std::string>(value));
}

} // namespace

IniSettingsStore::IniSettingsStore(std::string path) : path_(std::move(path)) {}

const ini::Document& IniSettingsStore::current()
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path_, ec);
    const auto time = ec ? std::filesystem::file_time_type{} : std::filesystem::last_write_time(path_, ec);
    if (ec) {
        cache_.clear();
        cached_ = false;
        return cache_;
    }
    const auto stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
    if (cached_ && size == cachedSize_ && stamp == cachedTime_)
        return cache_;
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (!files::readRegularFile(path_, kFileLimit, bytes, reason)) {
        cache_.clear();
        cached_ = false;
        return cache_;
    }
    cache_ = ini::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    cached_ = true;
    cachedSize_ = size;
    cachedTime_ = stamp;
    return cache_;
}

int IniSettingsStore::readInt(std::string_view section, std::string_view name, int defaultValue)
{
    std::lock_guard lock(mutex_);
    const ini::Document& doc = current();
    const auto it = doc.find(keyOf(section, name));
    if (it == doc.end() || it->second.kind == ini::Value::Kind::List)
        return defaultValue;
    const std::optional<std::string> text = ini::textOf(it->second);
    if (!text)
        return defaultValue;
    return ini::parseInt(*text).value_or(defaultValue);
}

std::string IniSettingsStore::readString(std::string_view section, std::string_view name,
                                         std::string_view defaultValue)
{
    std::lock_guard lock(mutex_);
    const ini::Document& doc = current();
    const auto it = doc.find(keyOf(section, name));
    if (it == doc.end())
        return std::string(defaultValue);
    const std::optional<std::string> text = ini::textOf(it->second);
    return text ? ini::utf8ToLatin1(*text) : std::string(defaultValue);
}

bool IniSettingsStore::contains(std::string_view section, std::string_view name)
{
    std::lock_guard lock(mutex_);
    return current().count(keyOf(section, name)) != 0;
}

bool IniSettingsStore::writeInt(std::string_view section, std::string_view name, int value)
{
    return writeBatch({{std::string(section), std::string(name), value}});
}

bool IniSettingsStore::writeString(std::string_view section, std::string_view name, std::string_view value)
{
    return writeBatch({{std::string(section), std::string(name), std::string(value)}});
}

bool IniSettingsStore::writeBatch(const std::vector<SettingsValue>& values)
{
    std::lock_guard lock(mutex_);
    return apply(values);
}

bool IniSettingsStore::apply(const std::vector<SettingsValue>& values)
{
    // Nothing to do when every value is already stored (an integer and its
    // text are the same stored value).
    auto differs = [&](const ini::Document& doc) {
        for (const SettingsValue& v : values) {
            const auto it = doc.find(keyOf(v.section, v.name));
            const std::optional<std::string> old =
                it == doc.end() ? std::nullopt : ini::textOf(it->second);
            if (!old || *old != textOfValue(v.value))
                return true;
        }
        return false;
    };
    if (!differs(current()))
        return true;

    std::string reason;
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    IniFileLock fileLock;
    if (!fileLock.acquire(path_, kLockPatience, reason))
        return false;
    // Read again under the lock: another program may have written since.
    cached_ = false;
    ini::Document doc = current();
    for (const SettingsValue& v : values) {
        ini::Value& slot = doc[keyOf(v.section, v.name)];
        slot = ini::Value{};
        slot.text = textOfValue(v.value);
    }
    const std::string bytes = ini::write(doc);

    std::string target;
    files::TemporaryFile file;
    const bool written = files::resolveSaveTarget(path_, target, reason) && file.create(target, reason) &&
                         file.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), reason) &&
                         file.flush(reason) && file.replace(target, reason);
    if (!written)
        file.remove();
    cached_ = false;
    return written;
}

} // namespace bm
