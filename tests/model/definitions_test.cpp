// The unit configuration, the definition cache and the status sweep, driven
// response by response through a real link on a fake line: which request
// follows which answer, what lands in the cache, and the ROM check.
#include "linked_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace bm {
namespace {

using test::Bytes;
using test::frame;
using test::LinkedModel;
using test::withText;

constexpr const char* kMismatch = "ROM Timestamp mismatch. About to reload internal variables.";

Bytes unitConfigData(std::uint8_t params, std::uint8_t effects, const std::string& stamp)
{
    Bytes d = {2, 4, 0, 1, 5, 1, 0, params, effects};
    d.resize(25, 0);
    std::memcpy(d.data() + 9, stamp.data(), std::min<std::size_t>(stamp.size(), 16));
    return d;
}

void writeCache(InMemorySettings& s, const std::string& stamp)
{
    const int fields[9] = {2, 4, 0, 1, 5, 1, 0, 2, 1};
    for (int i = 0; i < 9; ++i)
        s.writeInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[i], fields[i]);
    s.writeString(keys::kCacheUnitConfig, keys::kTimeStamp, stamp);
    s.writeString(keys::kCacheParamNames, "0x00", "MENU_BKGND");
    s.writeInt(keys::kCacheParamMax, "0x00", 3);
    s.writeString(keys::kCacheParamNames, "0x01", "BASS");
    s.writeInt(keys::kCacheParamMax, "0x01", 24);
    s.writeString(keys::kCacheEffectNames, "0x00", "THX Cinema");
    s.writeInt(keys::kCacheEffectMaxParams, "0x00", 6);
    s.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, stamp);
}

TEST(DefinitionCache, LoadFillsConfigTablesAndSlots)
{
    InMemorySettings settings;
    ScriptedPrompt prompt;
    DeviceModel model(settings, prompt);
    EXPECT_TRUE(DeviceModel::definitionCacheMissing(settings));

    writeCache(settings, "99/03/09 18:34 plus more text");
    settings.writeInt(keys::kCacheUnitConfig, "TotalEffects", 40);
    settings.writeString(keys::kCacheParamNames, "0x01", "TREBLE_AND_A_VERY_LONG_NAME");
    settings.writeString(keys::kCacheEffectNames, "0x1f", "Effect thirty-one");
    settings.writeString(keys::kCacheEffectNames, "0x20", "Beyond the table");
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(settings));

    model.LoadDefinitionCache();
    const UnitConfig c = model.unitConfig();
    EXPECT_EQ(c.ProductId, 2);
    EXPECT_EQ(c.SoftwareType, 4);
    EXPECT_EQ(c.SoftwareMinorRev, 5);
    EXPECT_EQ(c.TotalParams, 2);
    EXPECT_EQ(c.TotalEffects, 32); // a cache of more effects than the table reads as 32
    EXPECT_EQ(c.timeStampText(), "99/03/09 18:34 p");

    EXPECT_EQ(model.paramDef(0).nameText(), "MENU_BKGND");
    EXPECT_EQ(model.paramDef(0).maximum, 3);
    EXPECT_EQ(model.paramDef(1).nameText(), "TREBLE_AND_A_VERY_LON");
    EXPECT_EQ(model.namedSlot(NamedParam::MENU_BKGND), 0); // id 0 is "unresolved"
    EXPECT_EQ(model.namedSlot(NamedParam::TREBLE), 0);     // cut name matches nothing
    EXPECT_EQ(model.effect(0).nameText(), "THX Cinema");
    EXPECT_EQ(model.effect(0).paramCount, 6);
    EXPECT_EQ(model.effect(31).nameText(), "Effect thirty-");
    EXPECT_EQ(model.effect(32).nameText(), "");
}

TEST(DefinitionCache, OnlyACacheMarkedCompleteForItsRomIsTrusted)
{
    InMemorySettings settings;
    writeCache(settings, "99/03/09 18:34");
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(settings));

    // A download cut short: no mark, or the mark of another ROM.
    settings.remove(keys::kCacheUnitConfig, keys::kDefinitionsComplete);
    EXPECT_TRUE(DeviceModel::definitionCacheMissing(settings));
    settings.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "99/03/09 18:33");
    EXPECT_TRUE(DeviceModel::definitionCacheMissing(settings));
    settings.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "99/03/09 18:34");
    settings.remove(keys::kCacheParamMax, "0x00");
    EXPECT_TRUE(DeviceModel::definitionCacheMissing(settings));
}

TEST(DefinitionCache, SlotsFollowNamesAndKeepTheirLastId)
{
    InMemorySettings settings;
    ScriptedPrompt prompt;
    DeviceModel model(settings, prompt);
    EXPECT_EQ(model.ResolveNamedParam("BASS", 20), 1);
    EXPECT_EQ(model.ResolveNamedParam("bass", 21), 0); // exact, case-sensitive
    EXPECT_EQ(model.ResolveNamedParam("BASS ", 22), 0);
    EXPECT_EQ(model.namedSlot(NamedParam::BASS), 20);
    EXPECT_EQ(model.ResolveNamedParam("BASS", 30), 1);
    EXPECT_EQ(model.namedSlot(NamedParam::BASS), 30);
    EXPECT_EQ(model.ResolveNamedParam("NOT_A_NAME", 5), 0);
}

class SweepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeCache(lm.settings, "99/03/09 6:34pm");
        lm.startQuiet();
        sizeBefore = lm.settings.size();
    }
    LinkState& state() { return lm.link->state(); }

    LinkedModel lm;
    std::size_t sizeBefore = 0;
};

TEST_F(SweepTest, SweepChainsRequestsFromStatusToValues)
{
    state().StatusSweepActive = true;
    lm.feed(frame(DC_RESP_SYS_STATUS, {40, 3, 5, 2, 1, 0, 0, 16, 17}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {30, 6, 1, 0, 14}));
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, "99/03/09 6:34pm")));
    lm.feed(frame(DC_RESP_CUST_NAME, withText({}, "Living Room         ")));
    for (std::uint8_t i = 0; i < 8; ++i)
        lm.feed(frame(DC_RESP_INPUT_NAME, withText({i}, "In" + std::to_string(i) + "     ")));

    const auto sent = lm.writes(12);
    ASSERT_GE(sent.size(), 12u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_REC_STATUS));
    EXPECT_EQ(sent[1], frame(DC_CMD_GET_CONFIG));
    EXPECT_EQ(sent[2], frame(DC_CMD_GET_CUST_NAME));
    for (std::uint8_t i = 0; i < 8; ++i)
        EXPECT_EQ(sent[3 + i], frame(DC_CMD_GET_INPUT_NAME, {i}));
    EXPECT_EQ(sent[11], frame(DC_CMD_GET_SYS_PARAM_VALUES));
    EXPECT_TRUE(state().StatusSweepActive);

    lm.feed(frame(DC_RESP_SYS_PARAM_VALUES, {7, 8, 9}));
    ASSERT_TRUE(test::waitUntil([&] { return !state().StatusSweepActive; }));
    EXPECT_EQ(lm.model.paramValueCount(), 3);
    EXPECT_EQ(lm.model.paramValue(2), 9);

    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.Volume, 40);
    EXPECT_EQ(s.Input, 3);
    EXPECT_EQ(s.Effect, 5);
    EXPECT_EQ(s.SampleRate, 2);
    EXPECT_EQ(s.StreamFormat, 1);
    EXPECT_EQ(s.Balance, 16);
    EXPECT_EQ(s.FrontBackBalance, 17);
    EXPECT_EQ(s.Zone2Volume, 30);
    EXPECT_EQ(s.RecordInput, 6);
    EXPECT_EQ(s.Zone2Mute, 1);
    EXPECT_EQ(s.Zone2Balance, 14);
    EXPECT_EQ(s.customName(), "Living Room");
    EXPECT_EQ(s.inputName(7), "In7");
    // Same ROM: no message, nothing written to the cache.
    EXPECT_EQ(lm.prompt.count(), 0u);
    EXPECT_EQ(lm.settings.size(), sizeBefore);
}

TEST_F(SweepTest, ResponsesOutsideASweepStoreButAskForNothing)
{
    lm.feed(frame(DC_RESP_SYS_STATUS, {40, 3, 5, 2, 1, 0, 0, 16, 17}));
    lm.feed(frame(DC_RESP_REC_ZONE2_STATUS, {30, 6, 1, 0, 14}));
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, "99/03/09 6:34pm")));
    lm.feed(frame(DC_RESP_CUST_NAME, withText({}, "Den")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({7}, "VCR")));
    // A definition while no download runs: memory only.
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({9, 24, 12}, "TREBLE")));
    EXPECT_TRUE(lm.settle().empty());
    EXPECT_EQ(lm.model.status().Volume, 40);
    EXPECT_EQ(lm.model.status().inputName(7), "VCR");
    EXPECT_EQ(lm.model.paramDef(9).nameText(), "TREBLE");
    EXPECT_EQ(lm.model.paramDef(9).maximum, 24);
    EXPECT_EQ(lm.model.paramValue(9), 12);
    EXPECT_EQ(lm.model.namedSlot(NamedParam::TREBLE), 9);
    EXPECT_EQ(lm.settings.size(), sizeBefore);
}

TEST_F(SweepTest, ChangedRomAsksOnceAndWritesTheCacheOnlyWhenTheDownloadIsComplete)
{
    const std::size_t writesBefore = lm.settings.writeCount();
    state().StatusSweepActive = true;
    // Differs only in letter case: still another ROM.
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 2, "99/03/09 6:34PM")));
    auto sent = lm.settle();
    ASSERT_EQ(lm.prompt.texts(), std::vector<std::string>{kMismatch});
    EXPECT_TRUE(state().ReloadDefinitions);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_SYS_PARAM_BY_ID, {0}));

    // Halfway: nothing written, the old ROM's cache is as it was.
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({0, 3, 1}, "MENU_BKGND")));
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({1, 24, 13}, "TREBLE")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({0, 6}, "Logic7 Music")));
    sent = lm.settle();
    EXPECT_EQ(lm.settings.writeCount(), writesBefore);
    EXPECT_EQ(lm.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "99/03/09 6:34pm");
    EXPECT_EQ(lm.settings.readString(keys::kCacheParamNames, "0x01", ""), "BASS");

    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({1, 0}, "Mono Logic")));
    const auto rest = lm.settle();
    sent.insert(sent.end(), rest.begin(), rest.end());
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_SYS_PARAM_BY_ID, {1}));
    EXPECT_EQ(sent[1], frame(DC_CMD_GET_EFFECT, {0}));
    EXPECT_EQ(sent[2], frame(DC_CMD_GET_EFFECT, {1}));
    EXPECT_EQ(sent[3], frame(DC_CMD_GET_CUST_NAME));
    EXPECT_FALSE(state().ReloadDefinitions);

    // Two store writes for the whole download: the old mark withdrawn, then everything.
    EXPECT_EQ(lm.settings.writeCount(), writesBefore + 2);
    EXPECT_EQ(lm.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "99/03/09 6:34PM");
    EXPECT_EQ(lm.settings.readInt(keys::kCacheUnitConfig, "TotalEffects", -1), 2);
    EXPECT_EQ(lm.settings.readString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, ""),
              "99/03/09 6:34PM");
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(lm.settings));
    EXPECT_EQ(lm.settings.readString(keys::kCacheParamNames, "0x01", ""), "TREBLE");
    EXPECT_EQ(lm.settings.readInt(keys::kCacheParamMax, "0x01", -1), 24);
    EXPECT_EQ(lm.settings.readInt(keys::kCacheParamLast, "0x01", -1), 13);
    EXPECT_EQ(lm.settings.readString(keys::kCacheEffectNames, "0x01", ""), "Mono Logic");
    EXPECT_EQ(lm.settings.readInt(keys::kCacheEffectMaxParams, "0x00", -1), 6);
    EXPECT_EQ(lm.model.namedSlot(NamedParam::TREBLE), 1);
    EXPECT_EQ(lm.model.effect(0).nameText(), "Logic7 Music");
    EXPECT_EQ(lm.prompt.count(), 1u);
}

// Downloads ROM `stamp` (two parameters, one effect) in answer to the unit's
// configuration; `cutAfter` stops after that many definitions, as a line
// dropped midway does.
std::vector<Bytes> downloadRom(LinkedModel& lm, const std::string& stamp, const std::string& second, int cutAfter = 3)
{
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, stamp)));
    const Bytes definitions[] = {frame(DC_RESP_SYS_PARAM_DEF, withText({0, 3, 1}, "MENU_BKGND")),
                                 frame(DC_RESP_SYS_PARAM_DEF, withText({1, 24, 13}, second)),
                                 frame(DC_RESP_EFFECT_DEF, withText({0, 6}, "Logic7 Music"))};
    for (int i = 0; i < cutAfter; ++i)
        lm.feed(definitions[i]);
    return lm.settle();
}

TEST_F(SweepTest, EveryRomSeenIsKeptSoASwitchBackDownloadsNothing)
{
    state().StatusSweepActive = true;
    downloadRom(lm, "ROM-B", "TREBLE");
    ASSERT_EQ(lm.prompt.count(), 1u);
    ASSERT_FALSE(state().ReloadDefinitions);

    // Rows: the ROM the unit reports next; the name parameter 1 has then.
    // No row prompts, downloads or leaves the cache untrusted.
    struct Row {
        const char* stamp;
        const char* second;
        NamedParam slot;
    };
    const Row rows[] = {{"99/03/09 6:34pm", "BASS", NamedParam::BASS},
                        {"ROM-B", "TREBLE", NamedParam::TREBLE},
                        {"99/03/09 6:34pm", "BASS", NamedParam::BASS}};
    for (const Row& row : rows) {
        state().StatusSweepActive = true;
        // A switch leaves none of the other ROM's names resolved, the rig's
        // PROGRAM marker included: the first request is waited for instead.
        const std::size_t before = lm.port.writes().size();
        lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, row.stamp)));
        lm.port.waitForWrites(before + 1, 3000);
        const std::vector<Bytes> all = lm.port.writes();
        const std::vector<Bytes> sent(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        ASSERT_EQ(sent.size(), 1u) << row.stamp;
        EXPECT_EQ(sent[0], frame(DC_CMD_GET_CUST_NAME)) << row.stamp << ": the sweep goes straight on";
        EXPECT_EQ(lm.prompt.count(), 1u) << row.stamp;
        EXPECT_FALSE(state().ReloadDefinitions) << row.stamp;
        EXPECT_EQ(lm.model.paramDef(1).nameText(), row.second) << row.stamp;
        EXPECT_EQ(lm.model.namedSlot(row.slot), 1) << row.stamp;
        // The other ROM's name resolves to nothing here.
        EXPECT_EQ(lm.model.namedSlot(row.slot == NamedParam::BASS ? NamedParam::TREBLE : NamedParam::BASS), 0)
            << row.stamp;
        // The ROM in use is the one a start loads, and it is trusted.
        EXPECT_EQ(lm.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), row.stamp);
        EXPECT_FALSE(DeviceModel::definitionCacheMissing(lm.settings)) << row.stamp;
    }
}

TEST_F(SweepTest, ADownloadCutShortIsNotKeptForItsRom)
{
    state().StatusSweepActive = true;
    downloadRom(lm, "ROM-B", "TREBLE", /*cutAfter=*/2);
    ASSERT_TRUE(state().ReloadDefinitions);

    // The next start: the cache in use is still the first ROM's, and trusted.
    state().ReloadDefinitions = DeviceModel::definitionCacheMissing(lm.settings);
    ASSERT_FALSE(state().ReloadDefinitions);
    EXPECT_EQ(lm.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "99/03/09 6:34pm");
    state().StatusSweepActive = true;
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, "ROM-B")));
    const auto sent = lm.settle();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_SYS_PARAM_BY_ID, {0})) << "the cut download is done again";
    EXPECT_EQ(lm.prompt.count(), 2u);
}

TEST_F(SweepTest, ASweepAsksOnlyForItsParts)
{
    // Rows: the parts; the requests after the status, the configuration and
    // the custom name's place.
    struct Row {
        unsigned parts;
        std::vector<std::uint8_t> after;
    };
    const std::vector<Row> rows = {
        {0, {DC_CMD_GET_CONFIG}},
        {DeviceModel::kSweepParamValues, {DC_CMD_GET_CONFIG, DC_CMD_GET_SYS_PARAM_VALUES}},
        {DeviceModel::kSweepZone2Status | DeviceModel::kSweepCustomName,
         {DC_CMD_GET_REC_STATUS, DC_CMD_GET_CONFIG, DC_CMD_GET_CUST_NAME}},
        {DeviceModel::kSweepInputNames, {DC_CMD_GET_CONFIG, DC_CMD_GET_INPUT_NAME}},
    };
    for (const Row& row : rows) {
        lm.model.setSweepParts(row.parts);
        state().StatusSweepActive = true;
        // Each answer the unit would give, in the chain's order; a request not
        // sent gets no answer.
        std::vector<std::uint8_t> codes;
        auto answer = [&](const Bytes& response) {
            lm.feed(response);
            for (const Bytes& p : lm.settle())
                codes.push_back(p[2]);
        };
        answer(frame(DC_RESP_SYS_STATUS, {40, 3, 5, 2, 1, 0, 0, 16, 17}));
        if (std::count(codes.begin(), codes.end(), DC_CMD_GET_REC_STATUS))
            answer(frame(DC_RESP_REC_ZONE2_STATUS, {30, 6, 1, 0, 14}));
        answer(frame(DC_RESP_UNIT_CONFIG, unitConfigData(2, 1, "99/03/09 6:34pm")));
        if (std::count(codes.begin(), codes.end(), DC_CMD_GET_CUST_NAME))
            answer(frame(DC_RESP_CUST_NAME, withText({}, "Den")));
        for (std::uint8_t i = 0; i < 8 && std::count(codes.begin(), codes.end(), DC_CMD_GET_INPUT_NAME) == i + 1u; ++i)
            answer(frame(DC_RESP_INPUT_NAME, withText({i}, "In")));
        if (std::count(codes.begin(), codes.end(), DC_CMD_GET_SYS_PARAM_VALUES))
            answer(frame(DC_RESP_SYS_PARAM_VALUES, {1, 2}));
        std::vector<std::uint8_t> distinct;
        for (std::uint8_t c : codes)
            if (distinct.empty() || distinct.back() != c)
                distinct.push_back(c);
        EXPECT_EQ(distinct, row.after) << "parts " << row.parts;
        EXPECT_FALSE(state().StatusSweepActive) << "parts " << row.parts << ": the sweep ended";
    }
}

TEST_F(SweepTest, EffectDefinitionsDoNotChangeTheCurrentEffect)
{
    lm.feed(frame(DC_RESP_SYS_STATUS, {40, 3, 0, 2, 1, 0, 0, 16, 17}));
    state().ReloadDefinitions = true;
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(1, 2, "NEW")));
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({0, 1, 0}, "X")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({0, 4}, "Logic 7")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({1, 2}, "Mono Film")));
    // Waited for without the usual marker, itself a change of the current effect.
    ASSERT_TRUE(test::waitUntil([&] { return !state().ReloadDefinitions; }));
    EXPECT_EQ(lm.model.status().Effect, 0);
    std::string name;
    EXPECT_EQ(lm.model.CurrentEffectName(name), 1);
    EXPECT_EQ(name, "Logic 7");
}

TEST_F(SweepTest, ADownloadCutShortLeavesNoTrustedCache)
{
    lm.settings.remove(keys::kCacheUnitConfig, keys::kDefinitionsComplete);
    state().ReloadDefinitions = true; // a first start
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(3, 1, "NEW")));
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({0, 1, 0}, "X")));
    lm.settle();
    // The program ends here: the store holds nothing that would be trusted.
    EXPECT_TRUE(DeviceModel::definitionCacheMissing(lm.settings));
    EXPECT_NE(lm.settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "NEW");
}

TEST_F(SweepTest, RequestedReloadWithNoParametersOrEffectsStillRunsOneOfEach)
{
    state().ReloadDefinitions = true; // as when asked for at construction
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(0, 0, "NEW")));
    lm.feed(frame(DC_RESP_SYS_PARAM_DEF, withText({0, 1, 0}, "X")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({0, 0}, "E")));
    const auto sent = lm.settle();
    EXPECT_EQ(lm.prompt.count(), 0u);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_SYS_PARAM_BY_ID, {0}));
    EXPECT_EQ(sent[1], frame(DC_CMD_GET_EFFECT, {0}));
    // Outside a sweep the end of the download asks for nothing more.
    EXPECT_FALSE(state().ReloadDefinitions);
}

TEST_F(SweepTest, EffectIdsPastTheTableStoreNothingButTheDownloadEnds)
{
    state().ReloadDefinitions = true;
    lm.feed(frame(DC_RESP_UNIT_CONFIG, unitConfigData(1, 34, "NEW")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({31, 2}, "Last")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({32, 5}, "Past")));
    lm.feed(frame(DC_RESP_EFFECT_DEF, withText({33, 5}, "Further")));
    const auto sent = lm.settle();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], frame(DC_CMD_GET_EFFECT, {32}));
    EXPECT_EQ(sent[2], frame(DC_CMD_GET_EFFECT, {33}));
    EXPECT_FALSE(state().ReloadDefinitions);
    EXPECT_EQ(lm.model.effect(31).nameText(), "Last");
    EXPECT_FALSE(lm.settings.contains(keys::kCacheEffectNames, "0x20"));
    EXPECT_FALSE(lm.settings.contains(keys::kCacheEffectNames, "0x21"));
}

TEST_F(SweepTest, InputIndexPastTheTableEndsTheSweep)
{
    state().StatusSweepActive = true;
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({2}, "CD")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({9}, "Phantom")));
    const auto sent = lm.settle();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], frame(DC_CMD_GET_INPUT_NAME, {3}));
    EXPECT_EQ(sent[1], frame(DC_CMD_GET_SYS_PARAM_VALUES));
    const UnitStatus s = lm.model.status();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.inputName(i), i == 2 ? "CD" : "") << i;
}

TEST_F(SweepTest, NamesFromTheUnitKeepTheirInnerBlanks)
{
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({0}, "Sat     ")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({1}, "SAT TV  ")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({2}, " Tape")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({3}, "ABCDEFGHIJ")));
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({4}, "MY DVD 1"))); // the whole field, no NUL
    lm.feed(frame(DC_RESP_INPUT_NAME, withText({5}, std::string("V D\0\0  ", 7))));
    lm.feed(frame(DC_RESP_CUST_NAME, withText({}, "Screening Room      ")));
    lm.settle();
    UnitStatus s = lm.model.status();
    EXPECT_EQ(s.inputName(0), "Sat");
    EXPECT_EQ(s.inputName(1), "SAT TV");
    EXPECT_EQ(s.inputName(2), " Tape");
    EXPECT_EQ(s.inputName(3), "ABCDEFGH");
    EXPECT_EQ(s.inputName(4), "MY DVD 1");
    EXPECT_EQ(s.inputName(5), "V D");
    EXPECT_EQ(s.customName(), "Screening Room");

    lm.feed(frame(DC_RESP_CUST_NAME, withText({}, "ABCDEFGHIJKLMNOPQRSTUVW")));
    lm.settle();
    EXPECT_EQ(lm.model.status().customName(), "ABCDEFGHIJKLMNOPQRST");
}

TEST_F(SweepTest, FrontPanelLinesAreKept)
{
    Bytes d = withText({}, "THX Cinema    -20dB  ");
    d = withText(d, "DVD  AC3 5.1         ");
    lm.feed(frame(DC_FPD, d));
    lm.settle();
    const UnitStatus s = lm.model.status();
    EXPECT_EQ(s.displayLine1(), "THX Cinema    -20dB  ");
    EXPECT_EQ(s.displayLine2(), "DVD  AC3 5.1         ");
}

TEST_F(SweepTest, StartStatusSweepSetsTheFlagAndAsksForTheStatus)
{
    lm.model.StartStatusSweep();
    EXPECT_TRUE(state().StatusSweepActive);
    EXPECT_EQ(lm.settle(), std::vector<Bytes>{frame(DC_CMD_GET_SYS_STATUS)});
}


// A store that notes, at the cache write's first step (withdrawing the old
// completeness mark), what the link had sent and whether the download was
// still flagged as running.
class WatchedSettings : public InMemorySettings {
public:
    bool writeString(std::string_view section, std::string_view name, std::string_view value) override
    {
        CQuorControl* watched = link.load();
        if (watched != nullptr && section == keys::kCacheUnitConfig && name == keys::kDefinitionsComplete &&
            commandsAtCacheWrite < 0) {
            commandsAtCacheWrite = static_cast<long>(watched->state().CommandsSent.load());
            reloadAtCacheWrite = watched->state().ReloadDefinitions.load();
        }
        return InMemorySettings::writeString(section, name, value);
    }

    std::atomic<CQuorControl*> link{nullptr};
    std::atomic<long> commandsAtCacheWrite{-1};
    std::atomic<bool> reloadAtCacheWrite{false};
};

TEST(DownloadEnd, TheSweepsNextRequestIsQueuedBeforeTheCacheIsWritten)
{
    WatchedSettings settings;
    {
        using namespace keys;
        settings.writeInt(kComm, kWritePacketCheckInterval.name, 0);
        settings.writeInt(kComm, kWritePacketExtraDelayBefore.name, 0);
        settings.writeInt(kComm, kWritePacketExtraDelayAfter.name, 0);
        settings.writeInt(kComm, kWritePacketDoCharDelay.name, 0);
        settings.writeInt(kComm, kWritePacketAckWaitCount.name, 1);
        settings.writeInt(kComm, kWritePacketAckWaitInterval.name, 1);
    }
    ScriptedPrompt prompt;
    ManualOwnerWindow owner;
    FakeSerialPort port;
    DeviceModel model{settings, prompt};
    port.inject(frame(DC_ACK, {HOST_WAKEUP}));
    CQuorControl link({owner, settings, prompt, port}, 1, true, &model);
    settings.link = &link;
    ASSERT_TRUE(link.state().StatusSweepActive);
    ASSERT_TRUE(link.state().ReloadDefinitions);

    port.inject(frame(DC_RESP_UNIT_CONFIG, unitConfigData(1, 1, "NEW")));
    port.inject(frame(DC_RESP_SYS_PARAM_DEF, withText({0, 3, 1}, "MENU_BKGND")));
    const Bytes lastEffectRequest = frame(DC_CMD_GET_EFFECT, {0});
    ASSERT_TRUE(test::waitUntil([&] {
        const auto w = port.writes();
        return !w.empty() && w.back() == lastEffectRequest;
    }));
    const long before = static_cast<long>(link.state().CommandsSent.load());
    EXPECT_EQ(settings.commandsAtCacheWrite.load(), -1); // nothing written while the download runs

    port.inject(frame(DC_RESP_EFFECT_DEF, withText({0, 6}, "Logic7 Music")));
    ASSERT_TRUE(test::waitUntil([&] { return !link.state().ReloadDefinitions; }));
    // The custom name was asked for first, then the cache written; the flag
    // dropped only after the write, and what it left is trusted.
    EXPECT_EQ(settings.commandsAtCacheWrite.load(), before + 1);
    EXPECT_TRUE(settings.reloadAtCacheWrite.load());
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(settings));
    ASSERT_TRUE(test::waitUntil([&] {
        const auto w = port.writes();
        return !w.empty() && w.back() == frame(DC_CMD_GET_CUST_NAME);
    }));
    link.ExitInstance();
}

} // namespace
} // namespace bm
