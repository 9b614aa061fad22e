// In-memory settings store for tests: the same reads, writes and defaults as the
// real store, plus a switch that makes writes fail.
#pragma once

#include "platform/settings_store.h"

#include <map>
#include <mutex>
#include <string>
#include <variant>

namespace bm {

class InMemorySettings : public SettingsStore {
public:
    int readInt(std::string_view section, std::string_view name, int defaultValue) override;
    std::string readString(std::string_view section, std::string_view name,
                           std::string_view defaultValue) override;
    bool writeInt(std::string_view section, std::string_view name, int value) override;
    bool writeString(std::string_view section, std::string_view name,
                     std::string_view value) override;
    bool contains(std::string_view section, std::string_view name) override;
    // Takes the whole batch under one lock: a reader sees all of it or none.
    bool writeBatch(const std::vector<SettingsValue>& values) override;

    void remove(std::string_view section, std::string_view name);
    void setWritesFail(bool fail);
    std::size_t size() const;
    // Store writes so far: each writeInt, writeString and writeBatch counts one,
    // as each is one write of the settings file in the real store.
    std::size_t writeCount() const;

private:
    using Value = std::variant<int, std::string>;
    static std::string key(std::string_view section, std::string_view name);

    mutable std::mutex mutex_; // guards values_, writesFail_ and writeCount_
    std::map<std::string, Value> values_;
    bool writesFail_ = false;
    std::size_t writeCount_ = 0;
};

} // namespace bm
