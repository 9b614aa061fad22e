// RegistrySettingsStore: one RegCreateKeyEx/RegOpenKeyEx per access, so that a
// write reaches the registry at once and other programs see it, as QSettings'
// sync does; the same key layout and value types as Qt's native format.
#include "platform/registry_settings.h"

#include "platform/settings_keys.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace bm {
namespace {

std::wstring widenLatin1(std::string_view text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

// Characters beyond Latin-1 (written by another program) become '?', as
// QString::toLatin1 makes them.
std::string narrowLatin1(const wchar_t* text, std::size_t length)
{
    std::string narrow;
    narrow.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
        narrow.push_back(text[i] <= 0xFF ? static_cast<char>(text[i]) : '?');
    return narrow;
}

std::wstring subkeyPath(const std::string& root, std::string_view section)
{
    std::wstring path = widenLatin1(root);
    if (!section.empty()) {
        path += L'\\';
        path += widenLatin1(section);
    }
    return path;
}

// Reads one value's type and data; false when it is not there.
bool readValue(const std::wstring& path, std::string_view name, DWORD& type, std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const std::wstring valueName = widenLatin1(name);
    DWORD size = 0;
    LONG rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data.assign(size, 0);
        rc = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool writeValue(const std::wstring& path, std::string_view name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const std::wstring valueName = widenLatin1(name);
    const LONG rc = ::RegSetValueExW(key, valueName.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    ::RegFlushKey(key);
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// A string value's text (REG_SZ, REG_EXPAND_SZ, or Qt's REG_BINARY for texts with a NUL).
std::wstring valueText(const std::vector<BYTE>& data, bool terminated)
{
    std::size_t count = data.size() / sizeof(wchar_t);
    std::wstring text(count, L'\0');
    std::memcpy(text.data(), data.data(), count * sizeof(wchar_t));
    if (terminated) {
        const auto end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
    }
    return text;
}

} // namespace

std::string brennmarkRegistryKey(const std::string& suffix)
{
    return std::string("Software\\") + keys::kCompany + "\\" + keys::kApplication + suffix;
}

RegistrySettingsStore::RegistrySettingsStore(std::string rootKey) : rootKey_(std::move(rootKey)) {}

int RegistrySettingsStore::readInt(std::string_view section, std::string_view name, int defaultValue)
{
    std::lock_guard lock(mutex_);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readValue(subkeyPath(rootKey_, section), name, type, data))
        return defaultValue;
    if (type == REG_DWORD && data.size() >= sizeof(DWORD)) {
        std::int32_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return value;
    }
    if (type == REG_QWORD && data.size() >= sizeof(std::int64_t)) {
        std::int64_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return static_cast<int>(value);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        // An integer written as text (by hand, or by a QSettings that had a string).
        const std::string text = [&] {
            const std::wstring w = valueText(data, true);
            return narrowLatin1(w.data(), w.size());
        }();
        if (text.empty())
            return defaultValue;
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        return (end != nullptr && *end == '\0') ? static_cast<int>(value) : defaultValue;
    }
    return defaultValue;
}

std::string RegistrySettingsStore::readString(std::string_view section, std::string_view name,
                                              std::string_view defaultValue)
{
    std::lock_guard lock(mutex_);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readValue(subkeyPath(rootKey_, section), name, type, data))
        return std::string(defaultValue);
    if (type == REG_DWORD && data.size() >= sizeof(DWORD)) {
        std::int32_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return std::to_string(value);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_BINARY)
        return std::string(defaultValue);
    std::wstring text = valueText(data, type != REG_BINARY);
    if (text.size() >= 2 && text[0] == L'@' && text[1] == L'@')
        text.erase(0, 1); // Qt's escape for a text that starts with '@'
    return narrowLatin1(text.data(), text.size());
}

bool RegistrySettingsStore::writeInt(std::string_view section, std::string_view name, int value)
{
    std::lock_guard lock(mutex_);
    const std::int32_t dword = value;
    return writeValue(subkeyPath(rootKey_, section), name, REG_DWORD, &dword, sizeof dword);
}

bool RegistrySettingsStore::writeString(std::string_view section, std::string_view name,
                                        std::string_view value)
{
    std::lock_guard lock(mutex_);
    std::wstring text = widenLatin1(value);
    if (!text.empty() && text[0] == L'@')
        text.insert(text.begin(), L'@');
    const bool hasNul = text.find(L'\0') != std::wstring::npos;
    // REG_SZ counts its terminating NUL; Qt's REG_BINARY text does not.
    const DWORD size = static_cast<DWORD>((text.size() + (hasNul ? 0 : 1)) * sizeof(wchar_t));
    return writeValue(subkeyPath(rootKey_, section), name, hasNul ? REG_BINARY : REG_SZ, text.c_str(), size);
}

bool RegistrySettingsStore::contains(std::string_view section, std::string_view name)
{
    std::lock_guard lock(mutex_);
    DWORD type = 0;
    std::vector<BYTE> data;
    return readValue(subkeyPath(rootKey_, section), name, type, data);
}

std::string RegistrySettingsStore::location() const
{
    return "\\HKEY_CURRENT_USER\\" + rootKey_;
}

bool RegistrySettingsStore::removeAll()
{
    std::lock_guard lock(mutex_);
    const std::wstring path = widenLatin1(rootKey_);
    const LONG rc = ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        ::RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

} // namespace bm
