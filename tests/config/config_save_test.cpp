// Saving the unit's configuration: against the simulated unit over a
// pseudo-terminal, and against a scripted unit for a unit without effects.
#include "config/config_actions.h"
#include "link/capture_scope.h"
#include "config/config_file.h"
#include "config_test_support.h"

#include <gtest/gtest.h>


namespace bm {
namespace {

using test::Bytes;

// The field the save makes of a name the unit reported: at most `size - 1`
// characters, NUL-padded.
Bytes nameField(const std::string& reported, std::size_t size)
{
    Bytes field(size, 0);
    for (std::size_t i = 0; i < reported.size() && i + 1 < size && reported[i] != '\0'; ++i)
        field[i] = static_cast<std::uint8_t>(reported[i]);
    return field;
}

Bytes slice(const Bytes& bytes, std::size_t at, std::size_t size)
{
    if (at + size > bytes.size())
        return {};
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
}

class ConfigSave : public test::SimUnitTest {
protected:
    void save(const std::string& name)
    {
        dialog.scriptPath(folder.file(name));
        SaveConfigAction(model(), dialog, prompt(), settings());
    }
};

TEST_F(ConfigSave, WritesTheWholeUnitByteForByte)
{
    startUnit();
    const sim::UnitSnapshot snap = sim->snapshot();
    const std::size_t params = snap.unitConfig[7];
    const std::size_t effects = snap.unitConfig[8];
    ASSERT_EQ(params, 192u) << "the simulated DE-1 is the 192-parameter unit these checks are about";
    ASSERT_GT(effects, 0u);

    save("den"); // typed without an extension
    EXPECT_EQ(prompt().texts(), std::vector<std::string>{"Save Successful!"});
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"den.lex"});
    const Bytes file = test::readFile(folder.file("den.lex"));

    // Header.
    ASSERT_GE(file.size(), 204u);
    EXPECT_EQ(slice(file, 0, 4), (Bytes{0x45, 0x12, 0x87, 0xAB}));
    EXPECT_EQ(slice(file, 4, 4), Bytes(4, 0));
    EXPECT_EQ(slice(file, 8, 25), Bytes(snap.unitConfig.begin(), snap.unitConfig.end()));
    EXPECT_EQ(slice(file, 33, 35), Bytes(35, 0));
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(slice(file, 68 + 14 * i, 14), nameField(snap.inputNames[i], 14)) << "input " << i;
    EXPECT_EQ(slice(file, 180, 21), nameField(snap.customName, 21));
    EXPECT_EQ(slice(file, 201, 3), Bytes(3, 0));

    // The system parameter record, then one record per effect.
    EXPECT_EQ(file[204], 0x84);
    EXPECT_EQ(file[205], 192);
    EXPECT_EQ(slice(file, 206, 192), snap.paramValues);
    std::size_t at = 398;
    for (std::size_t id = 0; id < effects; ++id) {
        const std::vector<std::uint8_t>& values = snap.effectParams[id];
        ASSERT_GE(file.size(), at + 3 + values.size()) << "effect " << id;
        EXPECT_EQ(file[at], 0x87) << "effect " << id;
        EXPECT_EQ(file[at + 1], values.size() + 1) << "effect " << id;
        EXPECT_EQ(file[at + 2], id);
        EXPECT_EQ(slice(file, at + 3, values.size()), values) << "effect " << id;
        at += 3 + values.size();
    }
    EXPECT_EQ(file.size(), at) << "nothing follows the last effect record";
    std::string error;
    EXPECT_TRUE(parseConfigFile(file.data(), file.size(), &error)) << error;

    // What went to the unit: the requests in order, then a status sweep.
    std::vector<std::uint8_t> expected = {DC_CMD_GET_CONFIG};
    expected.insert(expected.end(), 8, DC_CMD_GET_INPUT_NAME);
    expected.push_back(DC_CMD_GET_CUST_NAME);
    expected.push_back(DC_CMD_GET_SYS_PARAM_VALUES);
    expected.insert(expected.end(), effects, DC_CMD_GET_EFFECT_PARAM_VALUES);
    expected.push_back(DC_CMD_GET_SYS_STATUS);
    ASSERT_TRUE(test::waitUntil([&] { return receivedCodes().size() >= expected.size(); }, 5000));
    EXPECT_EQ(slice(receivedCodes(), 0, expected.size()), expected);
    const std::vector<Bytes> sent = sim->receivedPackets();
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(sent[1 + i][4], i) << "input-name request " << i;
    for (std::size_t id = 0; id < effects; ++id)
        EXPECT_EQ(sent[11 + id][4], id) << "effect request " << id;

    // The model took the identity and the values; the capture is over.
    EXPECT_EQ(model().unitConfig().toBytes(), snap.unitConfig);
    EXPECT_EQ(model().paramValueCount(), 192);
    EXPECT_EQ(model().paramValue(191), snap.paramValues[191]);
    EXPECT_TRUE(captureOff());
    EXPECT_EQ(settings().readString("", "LastVisited", "?"), folder.folder());
    EXPECT_TRUE(waitForSweepEnd());
}

TEST_F(ConfigSave, LongNamesAreCutToTheirFields)
{
    startUnit();
    ASSERT_TRUE(sim->command("name 2 \"ABCDEFGHIJKLMNOP\""));
    ASSERT_TRUE(sim->command("name 5 \"Thirteen char\""));
    ASSERT_TRUE(sim->command("name custom \"123456789012345678901\""));

    save("names.lex");
    ASSERT_EQ(prompt().texts(), std::vector<std::string>{"Save Successful!"});
    const Bytes file = test::readFile(folder.file("names.lex"));
    ASSERT_GE(file.size(), 204u);
    const ConfigFileHeader header = ConfigFileHeader::fromBytes(file.data());
    EXPECT_EQ(header.inputNameText(2), "ABCDEFGHIJKLM");
    EXPECT_EQ(file[68 + 14 * 2 + 13], 0);
    EXPECT_EQ(header.inputNameText(5), "Thirteen char");
    EXPECT_EQ(file[68 + 14 * 5 + 13], 0);
    EXPECT_EQ(header.customNameText(), "12345678901234567890");
    EXPECT_EQ(file[200], 0);
}

TEST_F(ConfigSave, UnitFallingSilentAtTheFifthNameLeavesThePreviousFile)
{
    startUnit();
    const std::string target = folder.file("unit.lex");
    const Bytes previous = {'o', 'l', 'd', 0, 1, 2, 3};
    test::writeFile(target, previous);

    sim->setSilentAfterPackets(5); // the configuration and names 0 to 3
    dialog.scriptPath(target);
    SaveConfigAction(model(), dialog, prompt(), settings());

    EXPECT_EQ(prompt().texts(), std::vector<std::string>{"Failed to save configuration!"});
    EXPECT_EQ(test::readFile(target), previous);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"}) << "no temporary file left";
    EXPECT_TRUE(captureOff());
    const std::vector<Bytes> sent = sim->receivedPackets();
    ASSERT_EQ(sent.size(), 6u) << "no request after the unanswered one, and no status sweep";
    EXPECT_EQ(sent[5][2], DC_CMD_GET_INPUT_NAME);
    EXPECT_EQ(sent[5][4], 4);

    // Normal routing resumes: a change on the unit reaches the model again.
    sim->setSilent(false);
    const std::uint8_t volume = model().namedSlot(NamedParam::VOLUME);
    ASSERT_NE(volume, 0);
    const std::uint8_t wanted = model().paramValue(volume) == 51 ? 52 : 51;
    ASSERT_TRUE(sim->command("set VOLUME " + std::to_string(wanted)));
    EXPECT_TRUE(test::waitUntil([&] { return model().paramValue(volume) == wanted; }, 3000));
}

// A disk that fills up during the save, made real with the file-size limit:
// the header fits, the parameter record does not.
TEST_F(ConfigSave, WriteErrorFailsTheSaveAndKeepsThePreviousFile)
{
    startUnit();
    const std::string target = folder.file("unit.lex");
    const Bytes previous(500, 0x5A);
    test::writeFile(target, previous);

#ifdef _WIN32
    GTEST_SKIP() << "no file-size limit on Windows to fill the disk with";
#endif
    test::FileSizeLimit limit(300);
    ASSERT_TRUE(limit.ok());
    dialog.scriptPath(target);
    SaveConfigAction(model(), dialog, prompt(), settings());
    limit.lift();

    EXPECT_EQ(prompt().texts(), std::vector<std::string>{"Failed to save configuration!"});
    EXPECT_EQ(test::readFile(target), previous);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"unit.lex"});
    EXPECT_TRUE(captureOff());
    EXPECT_EQ(receivedCodes().back(), DC_CMD_GET_SYS_PARAM_VALUES) << "stopped at the failed write";
}

TEST_F(ConfigSave, UnwritableFolderFailsToOpenAndSendsNothing)
{
    startUnit();
    settings().writeString("", "LastVisited", "/somewhere/");
    const std::uint32_t sentBefore = link().state().CommandsSent.load();
    dialog.scriptPath(folder.file("missing/unit.lex"));
    SaveConfigAction(model(), dialog, prompt(), settings());
    EXPECT_EQ(prompt().texts(),
              (std::vector<std::string>{"Cannot write " + folder.file("missing/unit.lex") + ": No such file or directory",
                                        "Failed to open file!"}));
    EXPECT_EQ(settings().readString("", "LastVisited", ""), "/somewhere/");
    EXPECT_TRUE(folder.entries().empty());
    EXPECT_EQ(link().state().CommandsSent.load(), sentBefore);
    EXPECT_TRUE(sim->receivedPackets().empty());
}

// Packets that do not match are discarded at once, however many more there are
// than tries: unsolicited messages ahead of the answer cost no try; nothing
// after the match is taken.
TEST(AwaitCapturedRule, PacketsThatDoNotMatchAreDiscardedWithoutUsingUpTries)
{
    test::ProgramRig program;
    test::storeFastTiming(program.settings, test::configTiming());
    CQuorControl& link = program.startOnFakeLine(); // the greeting answered at once
    FakeSerialPort& port = program.port;
    ASSERT_TRUE(link.state().UnitHeard.load());

    link.state().SaveCaptureActive = true;
    const std::uint32_t before = link.state().ResponsesReceived.load();
    auto frame = [](std::uint8_t code, std::initializer_list<std::uint8_t> data) {
        const Packet p = framePacket(code, data);
        return test::Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
    };
    for (int i = 0; i < 40; ++i)
        port.inject(frame(DC_PARAM_CHG_MSG, {3, 40}));
    port.inject(frame(DC_FPD, {'A', 'B'}));
    port.inject(frame(DC_RESP_INPUT_NAME, {3, 'X', 0})); // the wrong index
    port.inject(frame(DC_RESP_INPUT_NAME, {4, 'Y', 0}));
    port.inject(frame(DC_RESP_INPUT_NAME, {4, 'Z', 0}));
    ASSERT_TRUE(test::waitUntil([&] { return link.state().ResponsesReceived.load() >= before + 44; }, 3000));

    const std::optional<Packet> found = AwaitCaptured(link, 3, 1, matchCodeAndFirst(DC_RESP_INPUT_NAME, 4));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->data()[1], 'Y');
    const std::optional<Packet> next = link.PopCaptured();
    ASSERT_TRUE(next) << "the wait took nothing beyond its match";
    EXPECT_EQ(next->data()[1], 'Z');
    EXPECT_FALSE(link.PopCaptured());
    link.state().SaveCaptureActive = false;
}

TEST(ConfigSaveScripted, UnitWithoutEffectsGivesHeaderAndParameterRecordOnly)
{
    test::TempFolder folder;
    ASSERT_TRUE(folder.ok());
    test::ScriptedUnit unit(test::smallUnit(12, 0));
    unit.start();
    test::ProgramRig program;
    test::seedDefinitionCache(program.settings, unit.unit());
    test::storeFastTiming(program.settings, test::configTiming());
    program.startOn(unit.port());
    ASSERT_TRUE(program.waitForStartup(15000));
    program.prompt.clear();

    ScriptedFileDialog dialog;
    dialog.scriptPath(folder.file("bare.lex"));
    SaveConfigAction(program.model, dialog, program.prompt, program.settings);

    EXPECT_EQ(program.prompt.texts(), std::vector<std::string>{"Save Successful!"});
    const Bytes file = test::readFile(folder.file("bare.lex"));
    ASSERT_EQ(file.size(), 204u + 2u + 12u);
    EXPECT_EQ(slice(file, 204, 2), (Bytes{0x84, 12}));
    EXPECT_EQ(slice(file, 206, 12), unit.unit().paramValues);
    EXPECT_TRUE(parseConfigFile(file.data(), file.size()));
    for (const Bytes& p : unit.received())
        EXPECT_NE(p[2], DC_CMD_GET_EFFECT_PARAM_VALUES);
    program.link.reset();
    unit.stop();
}

} // namespace
} // namespace bm
