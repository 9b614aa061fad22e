#include "tests/support/fast_timing.h"

#include "platform/settings_keys.h"
#include "platform/settings_store.h"

namespace bm::test {
namespace {

void storeIfSet(SettingsStore& settings, std::string_view name, const std::optional<int>& value)
{
    if (value)
        settings.writeInt(keys::kComm, name, *value);
}

} // namespace

void storeFastTiming(SettingsStore& settings, const FastTiming& timing)
{
    using namespace keys;
    settings.writeInt(kComm, kWritePacketCheckInterval.name, 1);
    settings.writeInt(kComm, kWritePacketExtraDelayBefore.name, 0);
    settings.writeInt(kComm, kWritePacketExtraDelayAfter.name, 0);
    settings.writeInt(kComm, kWritePacketDoCharDelay.name, 0);
    storeIfSet(settings, kWritePacketAckWaitCount.name, timing.ackWaitCount);
    storeIfSet(settings, kWritePacketAckWaitInterval.name, timing.ackWaitIntervalMs);
    storeIfSet(settings, kSaveConfigWaitCount.name, timing.configWaitCount);
    storeIfSet(settings, kSaveConfigWaitInterval.name, timing.configWaitIntervalMs);
    storeIfSet(settings, kSaveConfigExtraDelay.name, timing.configExtraDelayMs);
    storeIfSet(settings, kRestoreConfigWaitCount.name, timing.configWaitCount);
    storeIfSet(settings, kRestoreConfigWaitInterval.name, timing.configWaitIntervalMs);
    storeIfSet(settings, kRestoreConfigExtraDelay.name, timing.configExtraDelayMs);
    storeIfSet(settings, kRestoreConfigWakeupWaitCount.name, timing.configWaitCount);
    storeIfSet(settings, kRestoreConfigWakeupWaitInterval.name,
               timing.wakeupWaitIntervalMs ? timing.wakeupWaitIntervalMs : timing.configWaitIntervalMs);
}

} // namespace bm::test
