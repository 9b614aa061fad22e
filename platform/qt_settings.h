// The per-user settings store on Qt: Software\Tollvane\Brennmark in the Windows
// registry, Tollvane/Brennmark.conf under the user's config folder elsewhere.
// Each backslash-separated section level is one settings group. A write that
// changes no stored value leaves the file alone.
#pragma once

#include "platform/settings_store.h"

#include <QString>
#include <QVariant>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class QSettings;

namespace bm {

class QSettingsStore : public SettingsStore {
public:
    // The program's own store, in the platform's native per-user place.
    QSettingsStore();
    // An INI file at `iniFilePath` (tests, portable setups).
    explicit QSettingsStore(const QString& iniFilePath);
    ~QSettingsStore() override;

    int readInt(std::string_view section, std::string_view name, int defaultValue) override;
    std::string readString(std::string_view section, std::string_view name,
                           std::string_view defaultValue) override;
    bool writeInt(std::string_view section, std::string_view name, int value) override;
    bool writeString(std::string_view section, std::string_view name,
                     std::string_view value) override;
    bool contains(std::string_view section, std::string_view name) override;
    // All values, then one sync: QSettings replaces its file as a whole, so a
    // batch is one file write and is either all there or not at all.
    bool writeBatch(const std::vector<SettingsValue>& values) override;

    // Writes of the file so far by this store (a write that changed no value
    // does not touch the file and is not counted).
    std::size_t fileWrites() const;

    // Where the values live: the file path, or the registry path on Windows.
    QString location() const;

private:
    // Sets the values that differ from the stored ones and syncs once when
    // any did; mutex_ held.
    bool setAndFlush(const std::vector<std::pair<QString, QVariant>>& changes);
    bool flush(); // sync and report whether the store took it

    // Guards settings_: the receiver thread writes the definition cache while
    // the user-interface thread reads and writes settings.
    mutable std::mutex mutex_;
    std::unique_ptr<QSettings> settings_;
    std::size_t fileWrites_ = 0;
};

} // namespace bm
