// Selective restore against the simulated unit: only the chosen parameters and
// names change on the unit; everything else written is the unit's own value as
// read just before; nothing at all is sent for a file of another unit.
#include "config/config_actions.h"
#include "config/config_file.h"
#include "config/config_selective_restore.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace bm {
namespace {

using test::Bytes;

class SelectiveRestore : public test::SimUnitTest {
protected:
    Bytes saveUnit()
    {
        dialog.scriptPath(folder.file("unit.lex"));
        SaveConfigAction(model(), dialog, prompt(), settings());
        EXPECT_TRUE(waitForSweepEnd());
        prompt().clear();
        return test::readFile(folder.file("unit.lex"));
    }

    int paramId(const std::string& name) const { return test::paramIdOf(sim->snapshot(), name); }

    static ConfigFileContents loaded(const Bytes& file)
    {
        std::string error;
        auto contents = parseConfigFile(file.data(), file.size(), &error);
        EXPECT_TRUE(contents) << error;
        return contents.value_or(ConfigFileContents{});
    }

    // Lets the model catch up with the unit (as the command line does first).
    void freshModel()
    {
        model().StartStatusSweep();
        ASSERT_TRUE(waitForSweepEnd());
        sim->clearReceived();
    }

    RestoreSelection select(const std::vector<std::string>& words)
    {
        RestoreSelection selection;
        std::string error;
        EXPECT_TRUE(selectionFromNames(model(), words, selection, error)) << error;
        return selection;
    }
};

TEST_F(SelectiveRestore, SpeakersChangeExactlyTheSpeakerParameters)
{
    startUnit();
    const Bytes file = saveUnit();
    const std::vector<std::string> speakerNames = {
        "FRONT_SPKR", "FRONT_HPASS", "CENTER_SPKR", "BSPLIT_SMALL", "BSPLIT", "SIDE_SPKR",
        "SIDE_HPASS", "REAR_SPKR", "REAR_HPASS", "SUBWOOFER", "SUB_LOWPASS"};
    // The unit moves on: speakers and other values alike.
    for (const char* line : {"set FRONT_SPKR 0", "set FRONT_HPASS 0", "set SUB_LOWPASS 3", "set REAR_HPASS 3",
                             "set VOLUME 71", "set BASS 3"})
        ASSERT_TRUE(sim->command(line)) << line;
    ASSERT_TRUE(test::waitUntil([&] { return sim->snapshot().paramValues[paramId("BASS")] == 3; }, 3000));
    freshModel();
    const sim::UnitSnapshot before = sim->snapshot();

    int written = 0;
    std::string error;
    ASSERT_TRUE(RestoreSelected(model(), loaded(file), select({"speakers"}), false, written, error))
        << error;
    EXPECT_EQ(written, 4);

    const sim::UnitSnapshot after = sim->snapshot();
    for (std::size_t id = 0; id < after.paramValues.size(); ++id) {
        const bool speaker = std::find(speakerNames.begin(), speakerNames.end(), after.paramNames[id]) !=
                             speakerNames.end();
        const std::uint8_t expected = speaker ? file[206 + id] : before.paramValues[id];
        EXPECT_EQ(after.paramValues[id], expected) << after.paramNames[id];
    }
    EXPECT_EQ(after.paramValues[paramId("VOLUME")], 71);
    EXPECT_EQ(after.inputNames, before.inputNames);
    EXPECT_EQ(after.customName, before.customName);
    // One fresh read, one write; no names.
    std::vector<std::uint8_t> codes = receivedCodes();
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{DC_CMD_GET_SYS_PARAM_VALUES, DC_CMD_SET_SYS_PARAM_VALUES}));
    EXPECT_TRUE(captureOff());
}

TEST_F(SelectiveRestore, NothingDifferentWritesNothing)
{
    startUnit();
    const Bytes file = saveUnit();
    ASSERT_TRUE(sim->command("set VOLUME 71"));
    freshModel();
    int written = -1;
    std::string error;
    ASSERT_TRUE(RestoreSelected(model(), loaded(file), select({"levels", "tone"}), false, written, error))
        << error;
    EXPECT_EQ(written, 0);
    EXPECT_EQ(receivedCodes(), std::vector<std::uint8_t>{DC_CMD_GET_SYS_PARAM_VALUES});
    EXPECT_EQ(sim->snapshot().paramValues[paramId("VOLUME")], 71);
}

TEST_F(SelectiveRestore, OnlyTheChosenNames)
{
    startUnit();
    const Bytes file = saveUnit();
    const ConfigFileHeader header = ConfigFileHeader::fromBytes(file.data());
    model().SetInputName(2, "Other");
    model().SetCustomName(false, "Party");
    ASSERT_TRUE(test::waitUntil([&] { return sim->snapshot().customName == "Party"; }, 3000));
    freshModel();

    int written = 0;
    std::string error;
    RestoreSelection chosen;
    chosen.inputNames[2] = true;
    chosen.customName = true;
    ASSERT_TRUE(RestoreSelected(model(), loaded(file), chosen, true, written, error)) << error;
    EXPECT_EQ(written, 2);
    const std::vector<Bytes> sent = sim->receivedPackets();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][2], DC_CMD_SET_INPUT_NAME);
    EXPECT_EQ(sent[0][4], 2) << "input 2 only";
    EXPECT_EQ(sent[1][2], DC_CMD_SET_CUST_NAME);
    EXPECT_EQ(sent[1][4], 1) << "the switch given";
    const sim::UnitSnapshot snap = sim->snapshot();
    EXPECT_EQ(snap.inputNames[2], header.inputNameText(2).substr(0, 8));
    EXPECT_EQ(snap.customName, header.customNameText());

    // The group: all eight and the custom name.
    sim->clearReceived();
    ASSERT_TRUE(RestoreSelected(model(), loaded(file), select({"names"}), false, written, error)) << error;
    EXPECT_EQ(written, 9);
    std::vector<std::uint8_t> expected(8, DC_CMD_SET_INPUT_NAME);
    expected.push_back(DC_CMD_SET_CUST_NAME);
    EXPECT_EQ(receivedCodes(), expected);
}

TEST_F(SelectiveRestore, FilesThatDoNotFitSendNothing)
{
    startUnit();
    Bytes file = saveUnit();
    freshModel();
    int written = 0;
    std::string error;
    const RestoreSelection all = select({"speakers", "names"});

    // Files the loader refuses never get here; contents made otherwise are
    // held to its rule.
    ConfigFileContents fewer = loaded(file);
    fewer.system.values.pop_back();
    EXPECT_FALSE(RestoreSelected(model(), fewer, all, false, written, error));
    EXPECT_NE(error.find("no system parameter values"), std::string::npos) << error;
    file[17] ^= 1; // one character of the ROM timestamp
    EXPECT_FALSE(RestoreSelected(model(), loaded(file), all, false, written, error));
    EXPECT_EQ(error, "Cannot restore to different firmware with this version of Brennmark.");
    EXPECT_TRUE(sim->receivedPackets().empty());

    RestoreSelection unused;
    EXPECT_FALSE(selectionFromNames(model(), {"speakers", "NO_SUCH_PARAM"}, unused, error));
    EXPECT_EQ(error, "NO_SUCH_PARAM");
    RestoreSelection one;
    EXPECT_TRUE(selectionFromNames(model(), {"SUB_LOWPASS"}, one, error));
    EXPECT_EQ(one.params, std::set<std::uint8_t>{static_cast<std::uint8_t>(paramId("SUB_LOWPASS"))});
}

TEST_F(SelectiveRestore, TheNamesDiffGivesSelectWhatTheyName)
{
    startUnit();
    const auto id = [&](const char* name) { return static_cast<std::uint8_t>(paramId(name)); };
    const struct {
        std::vector<std::string> words;
        std::set<std::uint8_t> params;
        std::vector<int> inputs; // input indexes
        bool customName;
        const char* unknown; // the word refused, or null
    } cases[] = {
        {{"input-name-1", "input-name-8"}, {}, {0, 7}, false, nullptr},
        {{"custom-name"}, {}, {}, true, nullptr},
        {{"volume", "out-sub"}, {id("VOLUME"), id("OUT_ADJ_SUB")}, {}, false, nullptr},
        {{"VOLUME", "volume"}, {id("VOLUME")}, {}, false, nullptr},
        {{"input-name-3", "SUB_LOWPASS", "custom-name"}, {id("SUB_LOWPASS")}, {2}, true, nullptr},
        {{"input-name-0"}, {}, {}, false, "input-name-0"},
        {{"input-name-9"}, {}, {}, false, "input-name-9"},
        {{"input-name-12"}, {}, {}, false, "input-name-12"},
        // A control that shows no system parameter names nothing to restore.
        {{"stream"}, {}, {}, false, "stream"},
        {{"custom-name-2"}, {}, {}, false, "custom-name-2"},
        // A speaker setting: every parameter it stands on.
        {{"front-speakers"}, {id("FRONT_SPKR"), id("FRONT_HPASS")}, {}, false, nullptr},
        {{"side-type"}, {id("SIDE_SPKR"), id("SIDE_HPASS"), id("SIDE_STD_HPASS"), id("SIDE_DIPOLE_HPASS")}, {}, false, nullptr},
        {{"subwoofer", "volume"}, {id("SUBWOOFER"), id("SUB_LOWPASS"), id("VOLUME")}, {}, false, nullptr},
        {{"display-1"}, {}, {}, false, "display-1"},
        {{"Volume"}, {}, {}, false, "Volume"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        RestoreSelection selection;
        std::string error;
        const bool ok = selectionFromNames(model(), c.words, selection, error);
        if (c.unknown) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.unknown);
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(selection.params, c.params);
        std::array<bool, 8> inputs{};
        for (int i : c.inputs)
            inputs[static_cast<std::size_t>(i)] = true;
        EXPECT_EQ(selection.inputNames, inputs);
        EXPECT_EQ(selection.customName, c.customName);
    }
}

} // namespace
} // namespace bm
