// The device model's plain records and the code tables that name their values:
// the unit configuration block, name fields, the well-known parameter names and
// the texts the Info and Zone 2 pages show for product, firmware and stream.
#include "model/records.h"

#include <algorithm>
#include <cstring>

namespace bm {

namespace {

// A fixed, possibly unterminated text field as a string.
template <std::size_t N>
std::string fieldText(const std::array<char, N>& field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return std::string(field.begin(), end);
}

template <std::size_t N>
const char* tableText(const char* const (&table)[N], std::uint8_t value, const char* fallback)
{
    return value < N ? table[value] : fallback;
}

} // namespace

UnitConfig UnitConfig::fromBytes(const std::uint8_t* bytes)
{
    UnitConfig c;
    c.ProductId = bytes[0];
    c.SoftwareType = bytes[1];
    c.SoftwareLevel = bytes[2];
    c.SoftwareMajorRev = bytes[3];
    c.SoftwareMinorRev = bytes[4];
    c.ProtocolMajorRev = bytes[5];
    c.ProtocolMinorRev = bytes[6];
    c.TotalParams = bytes[7];
    c.TotalEffects = bytes[8];
    std::memcpy(c.TimeStamp.data(), bytes + 9, 16);
    c.TimeStamp[16] = '\0';
    return c;
}

std::array<std::uint8_t, UnitConfig::kWireSize> UnitConfig::toBytes() const
{
    std::array<std::uint8_t, kWireSize> b{};
    b[0] = ProductId;
    b[1] = SoftwareType;
    b[2] = SoftwareLevel;
    b[3] = SoftwareMajorRev;
    b[4] = SoftwareMinorRev;
    b[5] = ProtocolMajorRev;
    b[6] = ProtocolMinorRev;
    b[7] = TotalParams;
    b[8] = TotalEffects;
    std::memcpy(b.data() + 9, TimeStamp.data(), 16);
    return b;
}

std::string ParamDef::nameText() const
{
    return fieldText(name);
}

std::string EffectDef::nameText() const
{
    return fieldText(name);
}

std::string UnitStatus::inputName(int index) const
{
    if (index < 0 || index >= kInputCount)
        return {};
    return fieldText(InputNames[static_cast<std::size_t>(index)]);
}

std::string UnitStatus::customName() const
{
    return fieldText(CustomName);
}

std::string UnitStatus::displayLine1() const
{
    return fieldText(DisplayLine1);
}

std::string UnitStatus::displayLine2() const
{
    return fieldText(DisplayLine2);
}

const char* const kNamedParamNames[kNamedParamCount] = {
    "PROGRAM",        "MUTE",            "VOLUME",          "LR_BALANCE",
    "INPUT",          "RECORD_ENABLED",  "Z2_VOL",          "Z2_BAL",
    "Z2_MUTE",        "BASS",            "TREBLE",          "LOUDNESS",
    "TILT",           "MENU_BKGND",      "OUT_ADJ_CENTER",  "OUT_ADJ_SUB",
    "OUT_ADJ_FRONT_L", "OUT_ADJ_FRONT_R", "OUT_ADJ_SIDE_L", "OUT_ADJ_SIDE_R",
    "OUT_ADJ_REAR_L", "OUT_ADJ_REAR_R",  "FRONT_SPKR",      "FRONT_HPASS_SMALL",
    "FRONT_HPASS",    "CENTER_SPKR",     "BSPLIT_SMALL",    "BSPLIT",
    "SIDE_SPKR",      "SIDE_STD_HPASS",  "SIDE_DIPOLE_HPASS", "SIDE_HPASS",
    "REAR_SPKR",      "REAR_SMALL_HPASS", "REAR_HPASS",     "SUBWOOFER",
    "SUB_LOWPASS",
};

namespace {

// Unsupported models read as this text, seven trailing spaces included.
constexpr const char* kUnsupportedProduct = "NOT SUPPORTED BY BRENNMARK       ";

const char* const kProductNames[] = {
    kUnsupportedProduct, // 0
    "ZA-2",              // 1
    "DE-1",              // 2
};

const char* const kSoftwareTypeNames[] = {
    "UNKNOWN",  // 0
    "THX",      // 1
    "AC3",      // 2
    "DTS",      // 3
    "COMPLETE", // 4
    "BOOTROM",  // 5
};

const char* const kSoftwareLevelNames[] = {
    "Released",    // 0
    "Pre-Alpha",   // 1
    "Alpha",       // 2
    "Beta",        // 3
    "Gamma",       // 4
    "Unsupported", // 5
};

const char* const kStreamFormatNames[] = {
    "",        // 0 none
    "AC3",     // 1
    "PCM",     // 2
    "Analog",  // 3
    "DTS",     // 4
    "AC3 2.0", // 5
    "AC3 5.1", // 6
    "AC3 EX",  // 7
};

const char* const kSampleRateNames[] = {
    "",    // 0 none
    "44K", // 1
    "48K", // 2
    "88K", // 3
    "96K", // 4
};

const char* const kRecordInputTexts[] = {
    "Tape", "Tuner", "CD", "Aux", "TV", "V-Disc", "DVD", "VCR",
};

} // namespace

const char* ProductName(std::uint8_t productId)
{
    return tableText(kProductNames, productId, kUnsupportedProduct);
}

const char* SoftwareTypeName(std::uint8_t type)
{
    return tableText(kSoftwareTypeNames, type, "UNKNOWN");
}

const char* SoftwareLevelName(std::uint8_t level)
{
    return tableText(kSoftwareLevelNames, level, "UNKNOWN");
}

const char* StreamFormatName(std::uint8_t format)
{
    return tableText(kStreamFormatNames, format, "*New Format*");
}

const char* SampleRateName(std::uint8_t rate)
{
    return tableText(kSampleRateNames, rate, "*NEW Rate*");
}

const char* RecordInputText(std::uint8_t recordInput)
{
    return tableText(kRecordInputTexts, recordInput, "");
}

} // namespace bm
