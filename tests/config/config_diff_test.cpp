// The configuration comparison and the page-unit texts it prints: exact lines
// for known differences, nothing for equal configurations, refusals for other
// products and ROMs, and the reading back of page units.
#include "config/config_diff.h"
#include "config/config_units.h"
#include "config_test_support.h"
#include "model/definition_cache.h"
#include "tests/support/memory_settings.h"
#include "platform/settings_keys.h"

#include <gtest/gtest.h>

#include <cstring>

namespace bm {
namespace {

using test::Bytes;
using Lines = std::vector<std::string>;

// A small unit: five parameters, two effects.
ConfigFileContents makeConfig(const char* stamp = "99/03/09 18:34", std::uint8_t product = 2)
{
    ConfigFileContents c;
    c.header = ConfigFileHeader::make();
    c.header.unitConfig[0] = product;
    c.header.unitConfig[7] = 5; // TotalParams
    c.header.unitConfig[8] = 2; // TotalEffects
    std::memcpy(c.header.unitConfig.data() + 9, stamp, std::strlen(stamp));
    const char* names[8] = {"TAPE", "TUNER", "CD", "AUX", "TV", "V-DISC", "DVD", "VCR"};
    for (int i = 0; i < 8; ++i)
        c.header.setInputName(i, reinterpret_cast<const std::uint8_t*>(names[i]), std::strlen(names[i]));
    c.header.setCustomName(reinterpret_cast<const std::uint8_t*>("Den"), 3);
    c.system.values = {3, 60, 16, 20, 7};
    c.effects = {{DC_RESP_EFFECT_PARAM_VALUES, 0, {1, 2, 3}}, {DC_RESP_EFFECT_PARAM_VALUES, 1, {9}}};
    return c;
}

DefinitionNames names()
{
    return DefinitionNames{{"PROGRAM", "VOLUME", "LR_BALANCE", "OUT_ADJ_SUB", ""}, {"THX", "Mono Film"}};
}

Lines linesOf(const ConfigComparison& comparison)
{
    Lines lines;
    for (const ConfigDifference& d : comparison.differences)
        lines.push_back(differenceLine(d));
    return lines;
}

TEST(ConfigDiff, KnownDifferencesGiveExactLinesInPageUnits)
{
    const ConfigFileContents a = makeConfig();
    ConfigFileContents b = makeConfig();
    b.header.setInputName(6, reinterpret_cast<const std::uint8_t*>("Blu Ray"), 7);
    b.header.setCustomName(reinterpret_cast<const std::uint8_t*>("Cinema"), 6);
    b.system.values = {3, 72, 13, 17, 9};
    b.effects[0].values[2] = 4;

    const ConfigComparison result = compareConfigs(a, b, names(), false);
    EXPECT_EQ(result.refusal, "");
    // The controls table's names and text forms where a control shows the
    // value; the definition's name otherwise.
    EXPECT_EQ(linesOf(result), (Lines{
                                   "input-name-7: \"DVD\" -> \"Blu Ray\"",
                                   "custom-name: \"Den\" -> \"Cinema\"",
                                   "volume: -20 -> -8",
                                   "balance: +0 -> -3",
                                   "out-sub: +0.0 -> -1.5",
                                   "PARAM_0x04: 7 -> 9",
                                   "EFFECT[THX].3: 3 -> 4",
                               }));
    // Typed values for JSON: numbers in the pages' units, names as strings.
    using J = controls::JsonScalar;
    const struct {
        J a, b;
    } typed[] = {
        {J(std::string("DVD")), J(std::string("Blu Ray"))},
        {J(std::string("Den")), J(std::string("Cinema"))},
        {J(-20LL), J(-8LL)},
        {J(0LL), J(-3LL)},
        {J(0.0), J(-1.5)},
        {J(7LL), J(9LL)},
        {J(3LL), J(4LL)},
    };
    ASSERT_EQ(result.differences.size(), std::size(typed));
    for (std::size_t i = 0; i < std::size(typed); ++i) {
        EXPECT_EQ(result.differences[i].jsonA, typed[i].a) << result.differences[i].label;
        EXPECT_EQ(result.differences[i].jsonB, typed[i].b) << result.differences[i].label;
    }
    EXPECT_EQ(result.differences[2].definition, "VOLUME");
    // Each difference says what it is, for a selective restore of it.
    EXPECT_EQ(result.differences[0].kind, ConfigDifference::Kind::InputName);
    EXPECT_EQ(result.differences[0].id, 6);
    EXPECT_EQ(result.differences[2].kind, ConfigDifference::Kind::Param);
    EXPECT_EQ(result.differences[2].id, 1);
    EXPECT_EQ(result.differences[6].kind, ConfigDifference::Kind::EffectParam);
}

// Speaker settings stand on several parameters each; the difference is the
// setting's, in the controls table's words, and a restore of it writes all
// its parameters. A byte no setting reads stays a parameter of its own.
TEST(ConfigDiff, SpeakerSettingsAreComparedAsTheControlsShowThem)
{
    const std::vector<std::string> speakerNames = {
        "FRONT_SPKR", "FRONT_HPASS", "CENTER_SPKR", "BSPLIT", "BSPLIT_SMALL", "SIDE_SPKR", "SIDE_HPASS",
        "SIDE_STD_HPASS", "SIDE_DIPOLE_HPASS", "REAR_SPKR", "REAR_HPASS", "SUBWOOFER", "SUB_LOWPASS"};
    // Front small 80, center small 80, side small 80 standard, no rear, sub 80.
    const std::vector<std::uint8_t> base = {1, 2, 1, 3, 1, 3, 2, 1, 0, 0, 0, 1, 2};
    const DefinitionNames defs{speakerNames, {"THX", "Mono Film"}};
    const struct {
        const char* what;
        std::vector<std::pair<int, std::uint8_t>> changes; // id, value on side B
        Lines lines;
        std::vector<std::vector<int>> params;
    } cases[] = {
        {"front large", {{0, 0}, {1, 0}}, {"front-speakers: small-80 -> large"}, {{0, 1}}},
        {"no center", {{2, 0}, {3, 0}, {4, 0}}, {"center-speaker: small-80 -> none"}, {{2, 3, 4}}},
        {"side dipole", {{5, 4}, {7, 0}, {8, 1}}, {"side-type: standard -> dipole"}, {{5, 6, 7, 8}}},
        {"side large dipole",
         {{5, 2}, {6, 0}, {7, 0}},
         {"side-speakers: small-80 -> large", "side-type: standard -> dipole"},
         {{5, 6, 7, 8}, {5, 6, 7, 8}}},
        {"sub off", {{11, 0}, {12, 0}}, {"subwoofer: 80 -> none"}, {{11, 12}}},
        {"a byte no setting reads", {{4, 5}}, {"BSPLIT_SMALL: 1 -> 5"}, {{4}}},
        {"rear and front", {{0, 1}, {1, 3}, {9, 2}}, {"front-speakers: small-80 -> small-120", "rear-speakers: none -> large"}, {{0, 1}, {9, 10}}},
    };
    for (const auto& c : cases) {
        ConfigFileContents a = makeConfig();
        a.header.unitConfig[7] = static_cast<std::uint8_t>(base.size());
        a.system.values = base;
        ConfigFileContents b = a;
        for (const auto& [id, value] : c.changes)
            b.system.values[static_cast<std::size_t>(id)] = value;
        const ConfigComparison result = compareConfigs(a, b, defs, false);
        EXPECT_EQ(linesOf(result), c.lines) << c.what;
        ASSERT_EQ(result.differences.size(), c.params.size()) << c.what;
        for (std::size_t i = 0; i < c.params.size(); ++i)
            EXPECT_EQ(result.differences[i].params, c.params[i]) << c.what << " " << result.differences[i].label;
    }
    // Typed for JSON as the control's words.
    ConfigFileContents a = makeConfig();
    a.header.unitConfig[7] = static_cast<std::uint8_t>(base.size());
    a.system.values = base;
    ConfigFileContents b = a;
    b.system.values[11] = b.system.values[12] = 0;
    const ConfigComparison result = compareConfigs(a, b, defs, false);
    ASSERT_EQ(result.differences.size(), 1u);
    EXPECT_EQ(result.differences[0].jsonA, controls::JsonScalar(std::string("80")));
    EXPECT_EQ(result.differences[0].jsonB, controls::JsonScalar(std::string("none")));
}

TEST(ConfigDiff, EqualConfigurationsHaveNoDifferences)
{
    const ConfigComparison result = compareConfigs(makeConfig(), makeConfig(), names(), false);
    EXPECT_EQ(result.refusal, "");
    EXPECT_TRUE(result.differences.empty());
}

TEST(ConfigDiff, OtherProductsAndRomsAreRefusedUnlessForced)
{
    ConfigFileContents za2 = makeConfig("99/03/09 18:34", 1);
    za2.system.values[1] = 50;
    const ConfigComparison products = compareConfigs(makeConfig(), za2, names(), false);
    EXPECT_EQ(products.refusal, "different products (DE-1 and ZA-2)");
    EXPECT_TRUE(products.differences.empty());

    const ConfigFileContents otherRom = makeConfig("99/03/09 18:35");
    const ConfigComparison roms = compareConfigs(makeConfig(), otherRom, names(), false);
    EXPECT_EQ(roms.refusal, "different ROM timestamps (\"99/03/09 18:34\" and \"99/03/09 18:35\")");
    EXPECT_TRUE(roms.differences.empty());

    const ConfigComparison forced = compareConfigs(makeConfig(), za2, names(), true);
    EXPECT_EQ(linesOf(forced), Lines{"volume: -20 -> -30"});
}

TEST(ConfigDiff, RecordsOneSideLacksShowAsNone)
{
    ConfigFileContents b = makeConfig();
    b.system.values.push_back(4);
    b.effects[1].values.push_back(5);
    EXPECT_EQ(linesOf(compareConfigs(makeConfig(), b, DefinitionNames{}, false)),
              (Lines{"PARAM_0x05: (none) -> 4", "EFFECT[EFFECT_0x01].2: (none) -> 5"}));
}

TEST(ConfigDiff, TwoRomsArePairedByNameAndOneSidedParametersAreNamed)
{
    // ROM B moved VOLUME and LR_BALANCE, dropped OUT_ADJ_SUB and added NEW_PARAM;
    // its effects come in another order.
    const ConfigFileContents a = makeConfig();
    ConfigFileContents b = makeConfig("99/11/22 09:05");
    b.system.values = {3, 16, 60, 13, 9};
    b.effects = {{DC_RESP_EFFECT_PARAM_VALUES, 0, {9}}, {DC_RESP_EFFECT_PARAM_VALUES, 1, {1, 2, 4}}};
    const DefinitionNames namesB{{"PROGRAM", "LR_BALANCE", "VOLUME", "NEW_PARAM", ""}, {"Mono Film", "THX"}};

    const ConfigComparison forced = compareConfigs(a, b, names(), namesB, true);
    EXPECT_EQ(forced.refusal, "different ROM timestamps (\"99/03/09 18:34\" and \"99/11/22 09:05\")");
    EXPECT_EQ(linesOf(forced), (Lines{
                                   "out-sub: +0.0 -> (not in this ROM)",
                                   "PARAM_0x04: 7 -> 9",
                                   "NEW_PARAM: (not in this ROM) -> 13",
                                   "EFFECT[THX].3: 3 -> 4",
                               }));
    EXPECT_EQ(forced.differences[0].onlyIn, ConfigDifference::Side::A);
    EXPECT_EQ(forced.differences[2].onlyIn, ConfigDifference::Side::B);
    EXPECT_EQ(forced.differences[1].onlyIn, ConfigDifference::Side::Both);
    // Not forced, nothing is compared.
    EXPECT_TRUE(compareConfigs(a, b, names(), namesB, false).differences.empty());
    // The same ROM on both sides compares by id, as before.
    EXPECT_EQ(linesOf(compareConfigs(a, makeConfig(), names(), namesB, false)), Lines{});
}

TEST(ConfigDiff, EachFilesRomGetsItsNamesFromTheCache)
{
    InMemorySettings settings;
    // Rows: the entry the store holds, and what a file of that ROM is named by.
    const ConfigFileContents file = makeConfig("99/11/22 09:05");
    const UnitConfig rom = UnitConfig::fromBytes(file.header.unitConfig.data());
    EXPECT_TRUE(DefinitionNames::fromCache(settings, rom).params.empty()) << "nothing held";

    CachedDefinitions held;
    held.config = rom;
    held.config.TotalParams = 2;
    held.config.TotalEffects = 1;
    held.params = {{"PROGRAM", 31, 0, true}, {"VOLUME", 92, 60, true}};
    held.effects = {{"THX", 3}};
    std::vector<SettingsValue> batch;
    definition_cache::append(batch, definition_cache::romEntry(rom.ProductId, rom.timeStampText()), held);
    settings.writeBatch(batch);
    const DefinitionNames fromCache = DefinitionNames::fromCache(settings, rom);
    EXPECT_EQ(fromCache.params, (std::vector<std::string>{"PROGRAM", "VOLUME"}));
    EXPECT_EQ(fromCache.effects, std::vector<std::string>{"THX"});
    // Another ROM, or another product with the same timestamp, is not this one.
    EXPECT_TRUE(DefinitionNames::fromCache(settings, UnitConfig::fromBytes(makeConfig().header.unitConfig.data())).params.empty());
    EXPECT_TRUE(DefinitionNames::fromCache(settings, UnitConfig::fromBytes(makeConfig("99/11/22 09:05", 1).header.unitConfig.data())).params.empty());
    // A download cut short is not trusted.
    settings.writeString(definition_cache::romEntry(rom.ProductId, rom.timeStampText()) + "\\UnitConfig",
                         keys::kDefinitionsComplete, "(download not finished)");
    EXPECT_TRUE(DefinitionNames::fromCache(settings, rom).params.empty());
}

TEST(ConfigDiff, LoadingRefusesMissingShortAndOverlongFiles)
{
    test::TempFolder folder;
    ASSERT_TRUE(folder.ok());
    std::string error;
    EXPECT_FALSE(loadConfigFile(folder.file("missing.lex"), error));
    EXPECT_NE(error.find("Cannot read"), std::string::npos) << error;

    const ConfigFileContents c = makeConfig();
    Bytes bytes;
    const auto header = c.header.toBytes();
    bytes.insert(bytes.end(), header.begin(), header.end());
    for (const auto& record : {c.system.toBytes(), c.effects[0].toBytes(), c.effects[1].toBytes()})
        bytes.insert(bytes.end(), record.begin(), record.end());
    test::writeFile(folder.file("whole.lex"), bytes);
    const auto whole = loadConfigFile(folder.file("whole.lex"), error);
    ASSERT_TRUE(whole) << error;
    EXPECT_TRUE(compareConfigs(*whole, c, names(), false).differences.empty());

    test::writeFile(folder.file("short.lex"), Bytes(bytes.begin(), bytes.end() - 1));
    error.clear();
    EXPECT_FALSE(loadConfigFile(folder.file("short.lex"), error));
    EXPECT_NE(error.find("Cannot use"), std::string::npos) << error;

    Bytes longer = bytes;
    longer.push_back(0);
    test::writeFile(folder.file("long.lex"), longer);
    EXPECT_FALSE(loadConfigFile(folder.file("long.lex"), error));
}

TEST(ConfigUnits, TextsAndReadingBack)
{
    struct Case {
        const char* param;
        std::uint8_t raw;
        const char* text;
    };
    const Case cases[] = {
        {"VOLUME", 0, "-80"},      {"VOLUME", 80, "+0"},        {"Z2_VOL", 92, "+12"},
        {"LR_BALANCE", 16, "+0"},  {"Z2_BAL", 3, "-13"},        {"BASS", 24, "+6.0"},
        {"TREBLE", 11, "-0.5"},    {"TILT", 30, "+3.0"},        {"TILT", 14, "-0.2"},
        {"FB_BALANCE", 0, "-16"},  {"REC_INPUT", 7, "VCR"},         {"OUT_ADJ_SUB", 21, "+0.5"},
        {"OUT_ADJ_CENTER", 19, "-0.5"}, {"OUT_ADJ_REAR_R", 0, "-10.0"}, {"MUTE", 1, "on"},
        {"LOUDNESS", 0, "off"},    {"INPUT", 6, "DVD"},         {"SUB_LOWPASS", 2, "2"},
    };
    for (const Case& c : cases) {
        const ValueUnit unit = unitOfParam(c.param);
        EXPECT_EQ(valueText(unit, c.raw), c.text) << c.param << " " << int(c.raw);
        EXPECT_EQ(parseValue(unit, c.text), std::optional<int>(c.raw)) << c.param << " " << c.text;
    }
    // Other spellings the command line takes.
    EXPECT_EQ(parseValue(ValueUnit::Volume, "-20dB"), 60);
    EXPECT_EQ(parseValue(ValueUnit::Volume, "-20"), 60);
    EXPECT_EQ(parseValue(ValueUnit::OutputLevel, "3"), 26);
    EXPECT_EQ(parseValue(ValueUnit::Input, "v-disc"), 5);
    EXPECT_EQ(parseValue(ValueUnit::Switch, "ON"), 1);
    // Not values.
    for (const char* bad : {"", "+", "1.2.3", "abc", "--3", "2.5x"})
        EXPECT_FALSE(parseValue(ValueUnit::Volume, bad)) << bad;
    EXPECT_FALSE(parseValue(ValueUnit::OutputLevel, "0.3"));
    EXPECT_FALSE(parseValue(ValueUnit::Switch, "maybe"));
    EXPECT_FALSE(parseValue(ValueUnit::Raw, "-1"));
    EXPECT_FALSE(parseValue(ValueUnit::Input, "Radio"));
}

} // namespace
} // namespace bm
