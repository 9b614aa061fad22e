// Every section, value name and built-in default of the settings store, in one
// place. The store lives under Software\Tollvane\Brennmark.
#pragma once

namespace bm::keys {

inline constexpr const char* kCompany = "Tollvane";
inline constexpr const char* kApplication = "Brennmark";

// Sections. The empty section is the root key.
inline constexpr const char* kRoot = "";
inline constexpr const char* kComm = "Comm";
inline constexpr const char* kSettings = "Settings";
inline constexpr const char* kRecentFiles = "Recent File List";
inline constexpr const char* kCacheUnitConfig = "Config\\UnitConfig";
inline constexpr const char* kCacheParamNames = "Config\\Params\\Names";
inline constexpr const char* kCacheParamMax = "Config\\Params\\MaxValues";
inline constexpr const char* kCacheParamLast = "Config\\Params\\LastValues";
inline constexpr const char* kCacheEffectNames = "Config\\Effects\\Names";
inline constexpr const char* kCacheEffectMaxParams = "Config\\Effects\\MaxParams";

// Root.
inline constexpr const char* kLastVisited = "LastVisited"; // string, default ""
inline constexpr int kLastVisitedMaxLength = 255;

// "Comm": start-up choices.
inline constexpr const char* kCommPort = "CommPort";               // 0..3; absent reads 256
inline constexpr int kCommPortAbsent = 256;
inline constexpr const char* kDontShow = "DontShow";               // 0/1, default 0
inline constexpr const char* kForceDownload = "ForceInternalDownload"; // 0/1, default 0

// "Comm": the serial device behind each port number (this program's own keys).
inline constexpr const char* kComDevice[4] = {"Com1Device", "Com2Device", "Com3Device", "Com4Device"};
#ifdef _WIN32
inline constexpr const char* kComDeviceDefault[4] = {"COM1", "COM2", "COM3", "COM4"};
#else
inline constexpr const char* kComDeviceDefault[4] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3"};
#endif

// "Comm": the fourteen link timing values, read with these defaults and written
// back at every construction of the link. Each has the range the Advanced
// dialog accepts (0..1000; the character delay is a switch); a stored value
// outside it is taken as the nearest end, so no setting can overflow a wait.
struct TimingKey {
    const char* name;
    int defaultValue;
    int minimum = 0;
    int maximum = 1000;
};
inline constexpr TimingKey kSaveConfigWaitCount{"SaveConfigWaitCount", 25};
inline constexpr TimingKey kSaveConfigWaitInterval{"SaveConfigWaitInterval", 20};
inline constexpr TimingKey kSaveConfigExtraDelay{"SaveConfigExtraDelay", 40};
inline constexpr TimingKey kRestoreConfigWaitCount{"RestoreConfigWaitCount", 25};
inline constexpr TimingKey kRestoreConfigWaitInterval{"RestoreConfigWaitInterval", 20};
inline constexpr TimingKey kRestoreConfigExtraDelay{"RestoreConfigExtraDelay", 40};
inline constexpr TimingKey kRestoreConfigWakeupWaitCount{"RestoreConfigWakeupWaitCount", 100};
inline constexpr TimingKey kRestoreConfigWakeupWaitInterval{"RestoreConfigWakeupWaitInterval", 100};
inline constexpr TimingKey kWritePacketCheckInterval{"WritePacketCheckInterval", 10};
inline constexpr TimingKey kWritePacketExtraDelayBefore{"WritePacketExtraDelayBeforeWriting", 10};
inline constexpr TimingKey kWritePacketExtraDelayAfter{"WritePacketExtraDelayAfterWriting", 10};
inline constexpr TimingKey kWritePacketAckWaitCount{"WritePacketAckWaitCount", 10};
inline constexpr TimingKey kWritePacketAckWaitInterval{"WritePacketAckWaitInterval", 10};
inline constexpr TimingKey kWritePacketDoCharDelay{"WritePacketDoCharDelay", 1, 0, 1};

// A stored or entered value, within the key's range.
constexpr int clampTiming(const TimingKey& key, long long value)
{
    return static_cast<int>(value < key.minimum ? key.minimum : value > key.maximum ? key.maximum : value);
}

// In the order the link reads and writes them.
inline constexpr TimingKey kTimingKeys[14] = {
    kSaveConfigWaitCount,          kSaveConfigWaitInterval,          kSaveConfigExtraDelay,
    kRestoreConfigWaitCount,       kRestoreConfigWaitInterval,       kRestoreConfigExtraDelay,
    kRestoreConfigWakeupWaitCount, kRestoreConfigWakeupWaitInterval, kWritePacketCheckInterval,
    kWritePacketExtraDelayBefore,  kWritePacketExtraDelayAfter,      kWritePacketAckWaitCount,
    kWritePacketAckWaitInterval,   kWritePacketDoCharDelay,
};

// "Settings": the Names page's two switches, and the framework's preview count.
inline constexpr const char* kEnableCustomName = "EnableCustomName";               // default 0
inline constexpr const char* kEnableDynamicNameEditing = "EnableDynamicNameEditing"; // default 0
inline constexpr const char* kPreviewPages = "PreviewPages";                       // default 0

// "Config\UnitConfig" value names, in record order; then "TimeStamp".
inline constexpr const char* kUnitConfigFields[9] = {
    "ProductId",        "SoftwareType",     "SoftwareLevel", "SoftwareMajorRev", "SoftwareMinorRev",
    "ProtocolMajorRev", "ProtocolMinorRev", "TotalParams",   "TotalEffects",
};
inline constexpr const char* kTimeStamp = "TimeStamp";
// "Config\UnitConfig": the ROM timestamp whose definitions are all in the
// cache. Written last, after every definition of a download; a cache whose
// value differs from "TimeStamp" (or lacks it) is not trusted.
inline constexpr const char* kDefinitionsComplete = "DefinitionsComplete";

} // namespace bm::keys
