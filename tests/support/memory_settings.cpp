#include "tests/support/memory_settings.h"

namespace bm {

std::string InMemorySettings::key(std::string_view section, std::string_view name)
{
    std::string k(section);
    k += '|';
    k += name;
    return k;
}

int InMemorySettings::readInt(std::string_view section, std::string_view name, int defaultValue)
{
    std::lock_guard lock(mutex_);
    auto it = values_.find(key(section, name));
    if (it == values_.end())
        return defaultValue;
    if (const int* v = std::get_if<int>(&it->second))
        return *v;
    return defaultValue;
}

std::string InMemorySettings::readString(std::string_view section, std::string_view name,
                                         std::string_view defaultValue)
{
    std::lock_guard lock(mutex_);
    auto it = values_.find(key(section, name));
    if (it == values_.end())
        return std::string(defaultValue);
    if (const std::string* v = std::get_if<std::string>(&it->second))
        return *v;
    return std::string(defaultValue);
}

bool InMemorySettings::writeInt(std::string_view section, std::string_view name, int value)
{
    std::lock_guard lock(mutex_);
    ++writeCount_;
    if (writesFail_)
        return false;
    values_[key(section, name)] = value;
    return true;
}

bool InMemorySettings::writeString(std::string_view section, std::string_view name,
                                   std::string_view value)
{
    std::lock_guard lock(mutex_);
    ++writeCount_;
    if (writesFail_)
        return false;
    values_[key(section, name)] = std::string(value);
    return true;
}

bool InMemorySettings::writeBatch(const std::vector<SettingsValue>& values)
{
    std::lock_guard lock(mutex_);
    ++writeCount_;
    if (writesFail_)
        return false;
    for (const SettingsValue& v : values)
        values_[key(v.section, v.name)] = v.value;
    return true;
}

bool InMemorySettings::contains(std::string_view section, std::string_view name)
{
    std::lock_guard lock(mutex_);
    return values_.count(key(section, name)) != 0;
}

void InMemorySettings::remove(std::string_view section, std::string_view name)
{
    std::lock_guard lock(mutex_);
    values_.erase(key(section, name));
}

void InMemorySettings::setWritesFail(bool fail)
{
    std::lock_guard lock(mutex_);
    writesFail_ = fail;
}

std::size_t InMemorySettings::size() const
{
    std::lock_guard lock(mutex_);
    return values_.size();
}

} // namespace bm

namespace bm {

std::size_t InMemorySettings::writeCount() const
{
    std::lock_guard lock(mutex_);
    return writeCount_;
}

} // namespace bm
