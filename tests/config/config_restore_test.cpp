// Restoring a saved configuration into the simulated unit, and every way a
// restore can be refused or fail.
#include "config/config_actions.h"
#include "config/config_file.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace bm {
namespace {

using test::Bytes;

using Texts = std::vector<std::string>;

class ConfigRestore : public test::SimUnitTest {
protected:
    // Saves the unit to "unit.lex" and returns the file; the save's own sweep
    // has ended and the prompt is clear afterwards.
    Bytes saveUnit()
    {
        dialog.scriptPath(folder.file("unit.lex"));
        SaveConfigAction(model(), dialog, prompt(), settings());
        EXPECT_EQ(prompt().texts(), Texts{"Save Successful!"});
        EXPECT_TRUE(waitForSweepEnd());
        prompt().clear();
        return test::readFile(folder.file("unit.lex"));
    }

    void restore(const std::string& name, const Bytes& file)
    {
        test::writeFile(folder.file(name), file);
        sim->clearReceived();
        sentBefore = link().state().CommandsSent.load();
        dialog.scriptPath(folder.file(name));
        RestoreConfigAction(model(), dialog, prompt(), settings());
    }

    bool nothingSent() const
    {
        return program.link->state().CommandsSent.load() == sentBefore && sim->receivedPackets().empty();
    }

    int paramId(const std::string& name) const
    {
        const sim::UnitSnapshot snap = sim->snapshot();
        for (std::size_t id = 0; id < snap.paramNames.size(); ++id)
            if (snap.paramNames[id] == name)
                return static_cast<int>(id);
        return -1;
    }

    static Bytes valuesOf(const Bytes& file, std::size_t count)
    {
        return Bytes(file.begin() + 206, file.begin() + 206 + static_cast<std::ptrdiff_t>(count));
    }

    std::uint32_t sentBefore = 0;
};

TEST_F(ConfigRestore, RoundTripPutsNamesAndValuesBack)
{
    startUnit();
    const Bytes file = saveUnit();
    ASSERT_GE(file.size(), 398u);
    const ConfigFileHeader header = ConfigFileHeader::fromBytes(file.data());
    const std::size_t params = header.totalParams();

    // Change the unit: values, a name, and the custom name with its switch on.
    for (const char* line : {"set VOLUME 71", "set BASS 3", "set EQ_FRONT_1KHZ 20"})
        ASSERT_TRUE(sim->command(line)) << line;
    model().SetInputName(3, "Other");
    model().SetCustomName(true, "Party Mode");
    ASSERT_TRUE(test::waitUntil([&] {
        const sim::UnitSnapshot s = sim->snapshot();
        return s.customNameShown && s.customName == "Party Mode" && s.inputNames[3] == "Other";
    }, 3000));
    ASSERT_NE(sim->snapshot().paramValues, valuesOf(file, params));

    restore("unit.lex", file);
    EXPECT_EQ(prompt().texts(), Texts{}) << "a successful restore says nothing";

    // Names go back whole, without the blanks the unit padded them with in
    // the file ("SAT TV  " is "SAT TV"), to the unit and the model alike.
    const sim::UnitSnapshot snap = sim->snapshot();
    for (int i = 0; i < 8; ++i) {
        std::string name = header.inputNameText(i).substr(0, 8);
        name.erase(name.find_last_not_of(' ') + 1);
        EXPECT_EQ(snap.inputNames[static_cast<std::size_t>(i)], name) << "unit, input " << i;
        EXPECT_EQ(model().status().inputName(i), name) << "model, input " << i;
    }
    EXPECT_EQ(model().status().inputName(4), "SAT TV");
    EXPECT_EQ(snap.customName, header.customNameText());
    EXPECT_FALSE(snap.customNameShown);
    EXPECT_EQ(model().status().customName(), "Screening Room");
    EXPECT_EQ(snap.paramValues, valuesOf(file, params));
    EXPECT_EQ(model().paramValueCount(), static_cast<int>(params));
    for (std::size_t id = 0; id < params; ++id)
        EXPECT_EQ(model().paramValue(static_cast<std::uint8_t>(id)), file[206 + id]) << "model, parameter " << id;

    // Names, custom name and values went out, nothing else: effect values never.
    std::vector<std::uint8_t> expected(8, DC_CMD_SET_INPUT_NAME);
    expected.push_back(DC_CMD_SET_CUST_NAME);
    expected.push_back(DC_CMD_SET_SYS_PARAM_VALUES);
    EXPECT_EQ(receivedCodes(), expected);
    const std::vector<Bytes> sent = sim->receivedPackets();
    ASSERT_EQ(sent.size(), expected.size());
    EXPECT_EQ(sent[8][4], 0) << "custom-name switch off";
    EXPECT_EQ(Bytes(sent[9].begin() + 4, sent[9].end() - 1), valuesOf(file, params));
    EXPECT_TRUE(captureOff());
    EXPECT_FALSE(link().state().StatusSweepActive.load()) << "the restore starts no sweep";
}

TEST_F(ConfigRestore, OtherIdentityIsRefusedBeforeAnythingIsSent)
{
    startUnit();
    Bytes file = saveUnit();
    file[17 + 4] ^= 0x01; // one character of the ROM timestamp
    settings().writeString("", "LastVisited", "");

    restore("other.lex", file);
    EXPECT_EQ(prompt().texts(), (Texts{"Cannot restore to different firmware with this version of Brennmark.",
                                       "Failed to restore configuration!"}));
    EXPECT_TRUE(nothingSent());
    EXPECT_TRUE(captureOff());
    EXPECT_EQ(settings().readString("", "LastVisited", ""), folder.folder()) << "the file was opened";
}

TEST_F(ConfigRestore, ValueAboveItsMaximumIsClampedAndTheRestoreGoesOn)
{
    startUnit();
    Bytes file = saveUnit();
    const int volume = paramId("VOLUME");
    ASSERT_GE(volume, 0);
    const std::uint8_t maximum = sim->snapshot().paramMax[static_cast<std::size_t>(volume)];
    file[206 + static_cast<std::size_t>(volume)] = 200;

    restore("loud.lex", file);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "Reseting BAD System Paramater ID=%02x(VOLUME)  ATTEMPTED_WRITE=c8  MAX=%02x", volume, maximum);
    EXPECT_EQ(prompt().texts(), Texts{expected});
    EXPECT_EQ(sim->snapshot().paramValues[static_cast<std::size_t>(volume)], maximum);
    EXPECT_EQ(model().paramValue(static_cast<std::uint8_t>(volume)), maximum);
    EXPECT_TRUE(captureOff());
}

TEST_F(ConfigRestore, RefusedCustomNameStopsBeforeTheValues)
{
    startUnit();
    const Bytes file = saveUnit();
    sim->setNakCommand(DC_CMD_SET_CUST_NAME);

    restore("unit.lex", file);
    EXPECT_EQ(prompt().texts(),
              (Texts{"Restore Customname Parameters Failed.", "Failed to restore configuration!"}));
    std::vector<std::uint8_t> expected(8, DC_CMD_SET_INPUT_NAME);
    expected.push_back(DC_CMD_SET_CUST_NAME);
    EXPECT_EQ(receivedCodes(), expected);
    EXPECT_TRUE(captureOff());
}

TEST_F(ConfigRestore, MissingWakeupFailsAlthoughTheValuesWereTaken)
{
    startUnit({}, [](SettingsStore& s) {
        s.writeInt(keys::kComm, keys::kRestoreConfigWakeupWaitCount.name, 10);
        s.writeInt(keys::kComm, keys::kRestoreConfigWakeupWaitInterval.name, 10);
    });
    Bytes file = saveUnit();
    const int bass = paramId("BASS");
    ASSERT_GE(bass, 0);
    file[206 + static_cast<std::size_t>(bass)] = file[206 + static_cast<std::size_t>(bass)] == 5 ? 6 : 5;
    sim->setNoWakeupAfterParamWrite(true);

    restore("unit.lex", file);
    EXPECT_EQ(prompt().texts(), (Texts{"Set Sys Parameters Failed.", "Failed to restore configuration!"}));
    EXPECT_EQ(sim->snapshot().paramValues[static_cast<std::size_t>(bass)], file[206 + static_cast<std::size_t>(bass)]);
    EXPECT_TRUE(captureOff());
}

// Every file the loader refuses: the reason, naming the file, then the
// restore's failure, and nothing sent. A file one byte short is refused as
// surely as one cut inside its header.
TEST_F(ConfigRestore, FilesThatAreNotWholeAndSoundSendNothing)
{
    startUnit();
    const Bytes saved = saveUnit();
    const std::uint8_t params = saved[15];
    const std::size_t needed = 204 + 2 + params;
    auto cut = [&](std::size_t size) { return Bytes(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(size)); };
    auto changed = [&](auto change) {
        Bytes b = saved;
        change(b);
        return b;
    };
    struct Row {
        const char* name;
        Bytes file;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"header.lex", cut(150), "150 bytes, shorter than the 204-byte header"},
        {"values.lex", cut(needed - 1), "ends 1 byte short of the system parameter record"},
        {"effects.lex", cut(needed), "ends before effect parameter record 0"},
        {"one-short.lex", cut(saved.size() - 1), "ends 1 byte short of effect parameter record"},
        {"effect-first.lex", changed([](Bytes& b) { b[204] = DC_RESP_EFFECT_PARAM_VALUES; }),
         "no system parameter record at offset 204 (a record of code 0x87 is there)"},
        {"fewer.lex", changed([&](Bytes& b) { b[205] = static_cast<std::uint8_t>(params - 1); }),
         "the system parameter record holds " + std::to_string(params - 1) + " values, the unit it was saved from has " +
             std::to_string(params)},
    };
    for (const Row& row : rows) {
        prompt().clear();
        restore(row.name, row.file);
        ASSERT_EQ(prompt().count(), 2u) << row.name;
        EXPECT_EQ(prompt().texts()[0].rfind("Cannot use " + folder.file(row.name) + ": ", 0), 0u) << prompt().texts()[0];
        EXPECT_NE(prompt().texts()[0].find(row.reason), std::string::npos) << prompt().texts()[0];
        EXPECT_EQ(prompt().texts()[1], "Failed to restore configuration!");
        EXPECT_TRUE(nothingSent()) << row.name;
        EXPECT_TRUE(captureOff());
    }
}

// Only the identity decides whose file it is: another magic number restores.
TEST_F(ConfigRestore, WrongMagicStillRestores)
{
    startUnit();
    const Bytes saved = saveUnit();
    Bytes file = saved;
    file[0] = file[1] = file[2] = file[3] = 0x00;
    ASSERT_TRUE(sim->command("set VOLUME 12"));
    ASSERT_TRUE(test::waitUntil([&] { return sim->snapshot().paramValues != valuesOf(saved, saved[15]); }, 3000));

    restore("plain.lex", file);
    EXPECT_EQ(prompt().texts(), Texts{});
    EXPECT_EQ(sim->snapshot().paramValues, valuesOf(saved, saved[15]));
}

TEST_F(ConfigRestore, NamesLongerThanTheUnitsFieldsAreCutBeforeTheyGoOut)
{
    // A unit that refuses an over-long name instead of cutting it.
    sim::SimOptions options;
    options.refuseLongNames = true;
    startUnit(options);
    Bytes file = saveUnit();
    const std::string longName = "HOMECINEMA123"; // the file's field holds 13 characters
    std::copy(longName.begin(), longName.end(), file.begin() + 68 + 14 * 2);

    restore("long.lex", file);
    EXPECT_EQ(prompt().texts(), Texts{});
    EXPECT_EQ(sim->snapshot().inputNames[2], "HOMECINE");
    EXPECT_EQ(model().status().inputName(2), "HOMECINE");
}

TEST_F(ConfigRestore, AUnitWithMoreParametersThanAFrameHoldsFailsWithAMessage)
{
    sim::SimOptions options;
    options.paramCount = 254;
    startUnit(options);
    const Bytes saved = saveUnit();
    ASSERT_EQ(saved[15], 254);
    ASSERT_EQ(saved[205], 252) << "the unit's values answer carries no more than 252";

    // The unit's own file lacks two values: refused before anything is sent.
    restore("own.lex", saved);
    ASSERT_EQ(prompt().count(), 2u);
    EXPECT_EQ(prompt().texts()[1], "Failed to restore configuration!");
    EXPECT_TRUE(nothingSent());

    // A file that does hold 254 values: they cannot be written in one frame.
    // The failure is reported, and the model keeps the unit's values.
    prompt().clear();
    Bytes file(saved.begin(), saved.begin() + 206 + 252);
    file[205] = 254;
    file.push_back(1);
    file.push_back(2);
    file.insert(file.end(), saved.begin() + 206 + 252, saved.end()); // the effect records
    const auto valuesBefore = model().paramValues();
    const int countBefore = model().paramValueCount();
    restore("full.lex", file);
    EXPECT_EQ(prompt().texts(), (Texts{"Set Sys Parameters Failed.", "Failed to restore configuration!"}));
    std::vector<std::uint8_t> expected(8, DC_CMD_SET_INPUT_NAME);
    expected.push_back(DC_CMD_SET_CUST_NAME);
    EXPECT_EQ(receivedCodes(), expected) << "no parameter values went out";
    EXPECT_EQ(model().paramValues(), valuesBefore);
    EXPECT_EQ(model().paramValueCount(), countBefore);
    EXPECT_TRUE(captureOff());
}

} // namespace
} // namespace bm
