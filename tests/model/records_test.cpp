// The plain records: the unit configuration block byte for byte, fixed-width
// name fields, and the code tables behind the Info and Zone 2 page texts.
#include "model/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace bm {
namespace {

TEST(UnitConfigRecord, ReadsAndWritesTheTwentyFiveBytesInOrder)
{
    std::uint8_t wire[UnitConfig::kWireSize];
    for (std::size_t i = 0; i < 9; ++i)
        wire[i] = static_cast<std::uint8_t>(0x10 + i);
    // A full 16-character stamp: the record still ends it with a NUL.
    std::memcpy(wire + 9, "99/03/09 18:34:5", 16);

    const UnitConfig c = UnitConfig::fromBytes(wire);
    EXPECT_EQ(c.ProductId, 0x10);
    EXPECT_EQ(c.SoftwareType, 0x11);
    EXPECT_EQ(c.SoftwareLevel, 0x12);
    EXPECT_EQ(c.SoftwareMajorRev, 0x13);
    EXPECT_EQ(c.SoftwareMinorRev, 0x14);
    EXPECT_EQ(c.ProtocolMajorRev, 0x15);
    EXPECT_EQ(c.ProtocolMinorRev, 0x16);
    EXPECT_EQ(c.TotalParams, 0x17);
    EXPECT_EQ(c.TotalEffects, 0x18);
    EXPECT_EQ(c.timeStampText(), "99/03/09 18:34:5");

    const auto back = c.toBytes();
    EXPECT_EQ(0, std::memcmp(back.data(), wire, UnitConfig::kWireSize));
}

TEST(UnitConfigRecord, ShortStampIsNulPadded)
{
    std::uint8_t wire[UnitConfig::kWireSize]{};
    std::memcpy(wire + 9, "99/03/09", 8);
    const UnitConfig c = UnitConfig::fromBytes(wire);
    EXPECT_EQ(c.timeStampText(), "99/03/09");
    EXPECT_EQ(c.toBytes()[17], 0);
    EXPECT_EQ(c.toBytes()[24], 0);
}

TEST(NameFields, FullWidthNamesHaveNoTerminator)
{
    ParamDef p;
    std::memcpy(p.name.data(), "ABCDEFGHIJKLMNOPQRSTU", 21);
    EXPECT_EQ(p.nameText(), "ABCDEFGHIJKLMNOPQRSTU");
    EffectDef e;
    std::memcpy(e.name.data(), "THX Cinema", 11);
    EXPECT_EQ(e.nameText(), "THX Cinema");

    UnitStatus s;
    std::memcpy(s.InputNames[3].data(), "DVD", 4);
    EXPECT_EQ(s.inputName(3), "DVD");
    EXPECT_EQ(s.inputName(8), "");
    EXPECT_EQ(s.inputName(-1), "");
}

TEST(NamedParams, ThirtySevenNamesInLookupOrder)
{
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::PROGRAM)], "PROGRAM");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::RECORD_ENABLED)], "RECORD_ENABLED");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::MENU_BKGND)], "MENU_BKGND");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::OUT_ADJ_CENTER)], "OUT_ADJ_CENTER");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::OUT_ADJ_REAR_R)], "OUT_ADJ_REAR_R");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::FRONT_HPASS_SMALL)], "FRONT_HPASS_SMALL");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::SIDE_DIPOLE_HPASS)], "SIDE_DIPOLE_HPASS");
    EXPECT_STREQ(kNamedParamNames[static_cast<int>(NamedParam::REAR_SMALL_HPASS)], "REAR_SMALL_HPASS");
    EXPECT_STREQ(kNamedParamNames[kNamedParamCount - 1], "SUB_LOWPASS");
    // Every name once: a duplicate would hide the later slot from lookups.
    for (int i = 0; i < kNamedParamCount; ++i)
        for (int j = i + 1; j < kNamedParamCount; ++j)
            EXPECT_STRNE(kNamedParamNames[i], kNamedParamNames[j]);
}

TEST(InfoTexts, ProductAndFirmwareNames)
{
    EXPECT_STREQ(ProductName(1), "ZA-2");
    EXPECT_STREQ(ProductName(2), "DE-1");
    for (int id : {0, 3, 4, 255}) {
        const std::string text = ProductName(static_cast<std::uint8_t>(id));
        EXPECT_EQ(text, "NOT SUPPORTED BY BRENNMARK       ");
        EXPECT_EQ(text.size() - text.find_last_not_of(' ') - 1, 7u);
    }
    const char* types[] = {"UNKNOWN", "THX", "AC3", "DTS", "COMPLETE", "BOOTROM", "UNKNOWN", "UNKNOWN"};
    for (int i = 0; i < 8; ++i)
        EXPECT_STREQ(SoftwareTypeName(static_cast<std::uint8_t>(i)), types[i]) << i;
    EXPECT_STREQ(SoftwareTypeName(200), "UNKNOWN");
    const char* levels[] = {"Released", "Pre-Alpha", "Alpha", "Beta", "Gamma", "Unsupported", "UNKNOWN"};
    for (int i = 0; i < 7; ++i)
        EXPECT_STREQ(SoftwareLevelName(static_cast<std::uint8_t>(i)), levels[i]) << i;
}

TEST(InfoTexts, StreamRateAndRecordInputNames)
{
    const char* formats[] = {"", "AC3", "PCM", "Analog", "DTS", "AC3 2.0", "AC3 5.1", "AC3 EX", "*New Format*"};
    for (int i = 0; i < 9; ++i)
        EXPECT_STREQ(StreamFormatName(static_cast<std::uint8_t>(i)), formats[i]) << i;
    EXPECT_STREQ(StreamFormatName(255), "*New Format*");
    const char* rates[] = {"", "44K", "48K", "88K", "96K", "*NEW Rate*", "*NEW Rate*"};
    for (int i = 0; i < 7; ++i)
        EXPECT_STREQ(SampleRateName(static_cast<std::uint8_t>(i)), rates[i]) << i;
    const char* inputs[] = {"Tape", "Tuner", "CD", "Aux", "TV", "V-Disc", "DVD", "VCR", ""};
    for (int i = 0; i < 9; ++i)
        EXPECT_STREQ(RecordInputText(static_cast<std::uint8_t>(i)), inputs[i]) << i;
    EXPECT_STREQ(RecordInputText(255), "");
}

} // namespace
} // namespace bm
