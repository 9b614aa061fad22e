// The device model's records: what the program knows of the connected unit.
// Plain values; the DeviceModel keeps the live copies and hands out copies.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bm {

// The 25 bytes of DC_RESP_UNIT_CONFIG, in order, plus a NUL after TimeStamp.
struct UnitConfig {
    std::uint8_t ProductId = 0;        // 1 ZA-2, 2 DE-1
    std::uint8_t SoftwareType = 0;     // 1 THX .. 5 BOOTROM
    std::uint8_t SoftwareLevel = 0;    // 0 Released .. 5 Unsupported
    std::uint8_t SoftwareMajorRev = 0;
    std::uint8_t SoftwareMinorRev = 0;
    std::uint8_t ProtocolMajorRev = 0;
    std::uint8_t ProtocolMinorRev = 0;
    std::uint8_t TotalParams = 0;
    std::uint8_t TotalEffects = 0;
    std::array<char, 17> TimeStamp{}; // 16 bytes of text, always NUL-terminated

    static constexpr std::size_t kWireSize = 25;
    // Byte for byte from / to the response's data (and the file's identity block).
    static UnitConfig fromBytes(const std::uint8_t* bytes);
    std::array<std::uint8_t, kWireSize> toBytes() const;
    std::string timeStampText() const { return std::string(TimeStamp.data()); }
};

struct ParamDef {
    std::array<char, 21> name{}; // NUL-terminated when shorter than 21
    std::uint8_t maximum = 0;
    std::string nameText() const; // up to 21 characters
};

struct EffectDef {
    std::array<char, 14> name{}; // NUL-terminated when shorter than 14
    std::uint8_t paramCount = 0;
    std::string nameText() const; // up to 14 characters
};

inline constexpr int kParamTableSize = 256;
inline constexpr int kEffectTableSize = 32;
inline constexpr int kInputCount = 8;
// The longest names the unit keeps: an input name, the custom name. Every cut,
// field and edit box of a name takes its width from here.
inline constexpr std::size_t kInputNameWidth = 8;
inline constexpr std::size_t kCustomNameWidth = 20;
inline constexpr std::uint8_t kNoInput = 8;
inline constexpr std::uint8_t kNoEffect = 32;

struct UnitStatus {
    // DC_RESP_SYS_STATUS, 9 bytes in order.
    std::uint8_t Volume = 0;
    std::uint8_t Input = 0;
    std::uint8_t Effect = 0;
    std::uint8_t SampleRate = 0;
    std::uint8_t StreamFormat = 0;
    std::uint8_t Mute = 0;
    std::uint8_t SysStatusReserved = 0;
    std::uint8_t Balance = 0;
    std::uint8_t FrontBackBalance = 0;
    // DC_RESP_REC_ZONE2_STATUS, 5 bytes in order.
    std::uint8_t Zone2Volume = 0;
    std::uint8_t RecordInput = 0;
    std::uint8_t Zone2Mute = 0;
    std::uint8_t Zone2Reserved = 0;
    std::uint8_t Zone2Balance = 0;
    // Names and display, NUL-terminated.
    std::array<std::array<char, kInputNameWidth + 1>, kInputCount> InputNames{};
    std::array<char, kCustomNameWidth + 1> CustomName{};
    std::array<char, 22> DisplayLine1{};
    std::array<char, 22> DisplayLine2{};

    std::string inputName(int index) const; // "" outside 0..7
    std::string customName() const;
    std::string displayLine1() const;
    std::string displayLine2() const;
};

// Well-known parameter names, in lookup order. The enumerator's value is the
// slot's index in NamedParamSlots.
enum class NamedParam : int {
    PROGRAM, MUTE, VOLUME, LR_BALANCE, INPUT, RECORD_ENABLED, Z2_VOL, Z2_BAL, Z2_MUTE,
    BASS, TREBLE, LOUDNESS, TILT, MENU_BKGND,
    OUT_ADJ_CENTER, OUT_ADJ_SUB, OUT_ADJ_FRONT_L, OUT_ADJ_FRONT_R,
    OUT_ADJ_SIDE_L, OUT_ADJ_SIDE_R, OUT_ADJ_REAR_L, OUT_ADJ_REAR_R,
    FRONT_SPKR, FRONT_HPASS_SMALL, FRONT_HPASS, CENTER_SPKR, BSPLIT_SMALL, BSPLIT,
    SIDE_SPKR, SIDE_STD_HPASS, SIDE_DIPOLE_HPASS, SIDE_HPASS,
    REAR_SPKR, REAR_SMALL_HPASS, REAR_HPASS, SUBWOOFER, SUB_LOWPASS,
};
inline constexpr int kNamedParamCount = 37;
// The names, indexed by NamedParam.
extern const char* const kNamedParamNames[kNamedParamCount];

// The speaker settings that stand on several parameters each.
enum class SpeakerSetting { Front, Center, SideSize, SideDipole, Rear, Subwoofer };
// A named parameter's value, nothing where it is not known.
using NamedParamValue = std::function<std::optional<std::uint8_t>(NamedParam)>;
// A setting as DeviceModel's getters give it (a choice, or 16/0 for the side
// type), from parameter values alone (a configuration file's, say): -1 where
// they give none.
int speakerSettingOf(SpeakerSetting setting, const NamedParamValue& value);
// The parameters a setting's set writes.
std::vector<NamedParam> speakerSettingParams(SpeakerSetting setting);

// Output channels 0..7: center, sub, front L, front R, side L, side R, rear L, rear R.
inline constexpr int kOutputChannels = 8;

enum class ToneControl : int { Bass, Treble, Tilt };

struct ToneStepper {
    std::uint8_t current = 0;
    std::uint8_t target = 0;
    std::uint8_t active = 0;
    // Reports still due for the starting press that are not acted on (0 or 1).
    std::uint8_t echoes = 0;
    // Active but not started: another operation holds the line. Tried again
    // every kToneRetryMs, given up after kToneStartLimitMs.
    std::uint8_t waiting = 0;
    std::uint16_t tries = 0;
};

// Text tables shared by the Info and Zone 2 pages.
const char* ProductName(std::uint8_t productId);
const char* SoftwareTypeName(std::uint8_t type);
const char* SoftwareLevelName(std::uint8_t level);
const char* StreamFormatName(std::uint8_t format);
const char* SampleRateName(std::uint8_t rate);
const char* RecordInputText(std::uint8_t recordInput); // "" outside 0..7

} // namespace bm
