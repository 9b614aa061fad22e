// The settings store on an INI file, without Qt: the file the panel's QSettings
// store keeps (QSettings::IniFormat), read and written the same way, so that
// brennmark-cli and the service share the panel's port and definition cache
// on Linux without linking Qt. A write takes QSettings' lock file
// ("<file>.lock"), reads the file again, sets its values on what it found and
// replaces the file in one rename, so values that another program wrote in
// the meantime stay. A write that changes no stored value leaves the file
// alone. Texts are Latin-1 in the store and UTF-8 in the file.
#pragma once

#include "platform/ini_format.h"
#include "platform/settings_store.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace bm {

class IniSettingsStore : public SettingsStore {
public:
    explicit IniSettingsStore(std::string path);

    int readInt(std::string_view section, std::string_view name, int defaultValue) override;
    std::string readString(std::string_view section, std::string_view name,
                           std::string_view defaultValue) override;
    bool writeInt(std::string_view section, std::string_view name, int value) override;
    bool writeString(std::string_view section, std::string_view name,
                     std::string_view value) override;
    bool contains(std::string_view section, std::string_view name) override;
    // All values in one replace of the file.
    bool writeBatch(const std::vector<SettingsValue>& values) override;

    const std::string& location() const { return path_; }

private:
    // The file as it stands now; read again only when its size or time changed.
    // mutex_ held.
    const ini::Document& current();
    bool apply(const std::vector<SettingsValue>& values);

    std::mutex mutex_; // guards everything below
    std::string path_;
    ini::Document cache_;
    bool cached_ = false;
    std::uintmax_t cachedSize_ = 0;
    std::chrono::nanoseconds cachedTime_{};
};

// QSettings' lock on its file: "<file>.lock" created exclusively, holding the
// process id, program name and host (QLockFile's layout), so that either side
// waits for the other and takes over a lock its holder left behind.
class IniFileLock {
public:
    IniFileLock() = default;
    ~IniFileLock();
    IniFileLock(const IniFileLock&) = delete;
    IniFileLock& operator=(const IniFileLock&) = delete;

    // Waits up to `patience` for the lock; false with the reason otherwise.
    bool acquire(const std::string& file, std::chrono::milliseconds patience, std::string& reason);
    void release();

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace bm
