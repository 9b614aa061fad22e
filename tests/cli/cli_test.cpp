// brennmark-cli against the simulated unit over a pseudo-terminal (and over TCP
// against ridaziv-sim --tcp): every command, the values it reads and writes
// checked against the unit's own state, and its refusals.
#include "cli_rig.h"
#include "tests/support/noise_peer.h"
#include "model/text_fields.h"
#include "tests/support/fifo_watchdog.h"

#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace bm::test {
namespace {

using Lines = std::vector<std::string>;

// --- help, usage and no unit -------------------------------------------------

TEST_F(CliTest, HelpForTheProgramAndEveryCommand)
{
    const CliResult help = cli({"--help"}, false);
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"status", "controls", "params", "get", "set", "ir", "watch", "save", "restore", "diff"}) {
        EXPECT_NE(help.out.find(std::string("  ") + command), std::string::npos) << command;
        const CliResult one = cli({command, "--help"}, false);
        EXPECT_EQ(one.status, 0) << command;
        EXPECT_EQ(one.out.rfind(std::string("Usage: brennmark-cli [OPTION]... ") + command, 0), 0u) << one.out;
    }
    const CliResult unknown = cli({"frobnicate"}, false);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.errLines(), Lines{"brennmark-cli: unknown command frobnicate (see brennmark-cli --help)"});
    EXPECT_EQ(cli({}, false).status, 2);
    EXPECT_EQ(cli({"--model", "za2", "status"}, false).status, 2) << "--model without --simulate";
}

TEST_F(CliTest, NoUnitIsStatusThree)
{
    const CliResult missing = cli({"--port", folder.file("no-such-device"), "status"}, false);
    EXPECT_EQ(missing.status, 3);
    ASSERT_EQ(missing.errLines().size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("cannot open serial device"), std::string::npos) << missing.err;

    sim::SimOptions silent;
    silent.silent = true;
    startUnit(silent);
    const CliResult quiet = cli({"status"});
    EXPECT_EQ(quiet.status, 3);
    EXPECT_NE(quiet.err.find("was not detected"), std::string::npos) << quiet.err;
    EXPECT_EQ(quiet.out, "");

    // A peer that answers with noise, framed packets among it, is no unit.
    NoisePeer noise;
    ASSERT_FALSE(noise.url().empty());
    const CliResult garbage = cli({"--port", noise.url(), "status"}, false);
    EXPECT_EQ(garbage.status, 3) << garbage.err;
    EXPECT_NE(garbage.err.find("was not detected on " + noise.url()), std::string::npos) << garbage.err;
    EXPECT_EQ(garbage.out, "");
    EXPECT_GE(noise.connections(), 1);
}

// --- status and params ---------------------------------------------------------

TEST_F(CliTest, StatusAsTextAndJsonMatchesTheUnit)
{
    startUnit();
    ASSERT_TRUE(sim->command("set VOLUME 61"));
    ASSERT_TRUE(sim->command("display \"HELLO\" \"WORLD\""));
    const sim::UnitSnapshot snap = sim->snapshot();

    const CliResult text = cli({"status"});
    ASSERT_EQ(text.status, 0) << text.err;
    const Lines lines = text.outLines();
    EXPECT_EQ(lines[0], "product: DE-1 COMPLETE");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "volume: -19"), lines.end()) << text.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "custom-name: " + snap.customName),
              lines.end()) << text.out;

    const CliResult json = cli({"status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json o = parseObject(json.out);
    EXPECT_EQ(o.value("product", ""), "DE-1 COMPLETE");
    const std::string rom = o.value("rom", "");
    const std::string stamp(reinterpret_cast<const char*>(snap.unitConfig.data() + 9));
    EXPECT_TRUE(rom.size() >= stamp.size() && rom.compare(rom.size() - stamp.size(), stamp.size(), stamp) == 0)
        << rom;
    EXPECT_EQ(o.value("power", ""), "on");
    EXPECT_EQ(o.value("volume", 0.0), -19.0);
    EXPECT_EQ(o.value("balance", 0.0), snap.sysStatus[7] - 16.0);
    EXPECT_EQ(o.value("mute", false), snap.sysStatus[5] == 1);
    EXPECT_EQ(o.value("zone2-volume", 0.0), snap.zone2Status[0] - 80.0);
    EXPECT_EQ(o.value("bass", 0.0), paramValue("BASS") - 12.0);
    EXPECT_EQ(o.value("tilt", 0.0), paramValue("TILT") - 15.0);
    EXPECT_EQ(o.value("out-sub", 0.0), (paramValue("OUT_ADJ_SUB") - 20) / 2.0);
    EXPECT_TRUE(o.contains("loudness") && o["loudness"].is_boolean());
    for (const char* key : {"effect", "stream", "record-input"})
        EXPECT_TRUE(o.contains(key) && o[key].is_string()) << key;
    EXPECT_EQ(trimmed(o.value("display-1", "")), "HELLO");
    EXPECT_EQ(trimmed(o.value("display-2", "")), "WORLD");
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(o.contains("input-name-" + std::to_string(i + 1))) << i;
}

TEST_F(CliTest, ParamsListsEveryParameterAndEffect)
{
    startUnit();
    const sim::UnitSnapshot snap = sim->snapshot();
    const CliResult json = cli({"params", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json o = parseObject(json.out);
    const nlohmann::json params = o.value("params", nlohmann::json::array());
    ASSERT_EQ(params.size(), snap.paramNames.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const nlohmann::json& p = params[i];
        EXPECT_EQ(p.value("id", -1), static_cast<int>(i));
        EXPECT_EQ(p.value("name", ""), snap.paramNames[i]);
        EXPECT_EQ(p.value("value", -1), snap.paramValues[i]) << snap.paramNames[i];
        EXPECT_EQ(p.value("maximum", -1), snap.paramMax[i]) << snap.paramNames[i];
    }
    const nlohmann::json effects = o.value("effects", nlohmann::json::array());
    ASSERT_EQ(effects.size(), snap.effectNames.size());
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const nlohmann::json& e = effects[i];
        EXPECT_EQ(e.value("name", ""), snap.effectNames[i]);
        const nlohmann::json values = e.value("params", nlohmann::json::array());
        ASSERT_EQ(values.size(), snap.effectParams[i].size());
        for (std::size_t k = 0; k < values.size(); ++k)
            EXPECT_EQ(values[k], snap.effectParams[i][k]);
    }

    const CliResult text = cli({"params"});
    ASSERT_EQ(text.status, 0);
    EXPECT_EQ(text.outLines().size(), snap.paramNames.size() + snap.effectNames.size());
}

// --- get and set ---------------------------------------------------------------

TEST_F(CliTest, SetThenGetRoundTripsForEveryKind)
{
    startUnit();
    // Direct commands, IR keys, tone steps, output levels, names.
    const Lines direct = {"volume", "-21", "balance", "+3", "front-back", "-2", "mute", "on",
                          "zone2-volume", "-30", "zone2-balance", "-4", "out-sub", "-1.5",
                          "out-center", "+2.0", "input", "CD", "record-input", "DVD", "loudness", "on",
                          "zone2-mute", "on", "bass", "+1.0", "tilt", "-0.6", "input-name-3", "Disc",
                          "custom-name", "Den"};
    Lines args{"set"};
    args.insert(args.end(), direct.begin(), direct.end());
    const CliResult set = cli(args);
    ASSERT_EQ(set.status, 0) << set.err;
    Lines expected;
    Lines names{"get"};
    for (std::size_t i = 0; i < direct.size(); i += 2) {
        expected.push_back(direct[i] + " " + direct[i + 1]);
        names.push_back(direct[i]);
    }
    EXPECT_EQ(set.outLines(), expected);
    const CliResult get = cli(names);
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.outLines(), expected);

    // The unit's own state.
    const sim::UnitSnapshot snap = sim->snapshot();
    EXPECT_EQ(paramValue("VOLUME"), 59);
    EXPECT_EQ(snap.sysStatus[7], 19);
    EXPECT_EQ(snap.sysStatus[8], 14);
    EXPECT_EQ(snap.sysStatus[5], 1);
    EXPECT_EQ(snap.zone2Status[0], 50);
    EXPECT_EQ(paramValue("OUT_ADJ_SUB"), 17);
    EXPECT_EQ(paramValue("OUT_ADJ_CENTER"), 24);
    EXPECT_EQ(paramValue("BASS"), 14);
    EXPECT_EQ(paramValue("TILT"), 12); // -0.6 is three fifth steps below flat
    EXPECT_EQ(paramValue("LOUDNESS"), 1);
    EXPECT_EQ(snap.inputNames[2], "Disc");
    EXPECT_EQ(snap.customName, "Den");

    // Parameter writes: speakers and any parameter by its definition name.
    sim->clearReceived();
    const CliResult speakers = cli({"set", "front-speakers", "large", "subwoofer", "120", "side-type", "dipole",
                                    "MENU_BKGND", "2"});
    ASSERT_EQ(speakers.status, 0) << speakers.err;
    EXPECT_EQ(speakers.outLines(), (Lines{"front-speakers large", "subwoofer 120", "side-type dipole", "MENU_BKGND 2"}));
    EXPECT_EQ(paramValue("FRONT_SPKR"), 0);
    EXPECT_EQ(paramValue("SUBWOOFER"), 1);
    EXPECT_EQ(paramValue("SUB_LOWPASS"), 3);
    EXPECT_EQ(paramValue("MENU_BKGND"), 2);
    EXPECT_TRUE(paramValue("SIDE_SPKR") == 2 || paramValue("SIDE_SPKR") == 4);
    EXPECT_EQ(cli({"get", "front-speakers", "subwoofer", "side-type", "MENU_BKGND", "SUB_LOWPASS"}).outLines(),
              (Lines{"front-speakers large", "subwoofer 120", "side-type dipole", "MENU_BKGND 2", "SUB_LOWPASS 3"}));
    // Each parameter write read the unit first and wrote its values back.
    const auto codes = receivedCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), DC_CMD_SET_SYS_PARAM_VALUES), 4);
}

TEST_F(CliTest, UnchangedValueSendsNothing)
{
    startUnit();
    const std::string volume = cli({"get", "volume"}).out;
    sim->clearReceived();
    const CliResult set = cli({"set", "volume", volume.substr(7, volume.size() - 8)});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_FALSE(received(DC_CMD_SET_SYS_VOLUME));
}

TEST_F(CliTest, BadNamesAndValuesSendNothing)
{
    startUnit();
    struct Case {
        Lines args;
        const char* reason;
    };
    const Case cases[] = {
        {{"get", "no-such"}, "unknown name no-such"},
        {{"set", "volume", "-20", "no-such", "1"}, "unknown name no-such"},
        {{"set", "volume", "+13"}, "bad value \"+13\" for volume"},
        {{"set", "volume", "loud"}, "bad value \"loud\" for volume"},
        {{"set", "bass", "+13"}, "bad value \"+13\" for bass"},
        {{"set", "out-sub", "0.3"}, "bad value \"0.3\" for out-sub"},
        {{"set", "out-sub", "+10.5"}, "bad value \"+10.5\" for out-sub"},
        {{"set", "input", "Radio"}, "bad value \"Radio\" for input"},
        {{"set", "front-speakers", "none"}, "bad value \"none\" for front-speakers"},
        {{"set", "input-name-1", "NINECHARS"}, "bad value \"NINECHARS\" for input-name-1"},
        {{"set", "MENU_BKGND", "200"}, "bad value \"200\" for MENU_BKGND"},
        {{"set", "volume"}, "set needs NAME VALUE pairs"},
        {{"watch", "--seconds", "x"}, "--seconds takes a whole number"},
    };
    for (const Case& c : cases) {
        sim->clearReceived();
        const CliResult r = cli(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0] << " " << c.args[1];
        ASSERT_EQ(r.errLines().size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        for (std::uint8_t code : receivedCodes())
            EXPECT_TRUE(code == HOST_WAKEUP || code == HOST_SLEEP || code == DC_CMD_SET_FPD_CTRL ||
                        (code >= DC_CMD_GET_CONFIG && code <= DC_CMD_GET_SYS_PARAM_VALUES) ||
                        code == DC_CMD_GET_CUST_NAME || code == DC_CMD_GET_INPUT_NAME)
                << "code " << int(code) << " sent for " << r.err;
    }
}

TEST_F(CliTest, RefusalStopsEverything)
{
    sim::SimOptions options;
    options.nakCommand = DC_CMD_SET_SYS_VOLUME;
    startUnit(options);
    const CliResult r = cli({"set", "volume", "-10", "balance", "+2"});
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.errLines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("volume: the unit refused the command (DC_NAK, DC_INVALID_DATA)"), std::string::npos) << r.err;
    // Nothing after the refused command: no retry, no balance, no goodbye.
    const auto codes = receivedCodes();
    std::string sent;
    for (std::uint8_t code : codes)
        sent += " " + std::to_string(code);
    const auto refused = std::find(codes.begin(), codes.end(), DC_CMD_SET_SYS_VOLUME);
    ASSERT_NE(refused, codes.end()) << "codes the unit read:" << sent;
    EXPECT_EQ(refused + 1, codes.end());
}

// --- save, diff, restore -------------------------------------------------------

TEST_F(CliTest, SaveDiffAndRestore)
{
    startUnit();
    const std::string a = folder.file("a.lex");
    const std::string b = folder.file("b.lex");
    ASSERT_EQ(cli({"save", a}).status, 0);
    ASSERT_TRUE(sim->command("set VOLUME 72"));
    ASSERT_TRUE(sim->command("set OUT_ADJ_SUB 17"));
    ASSERT_TRUE(sim->command("set SUB_LOWPASS 3"));
    ASSERT_EQ(cli({"set", "input-name-2", "Radio"}).status, 0);
    const CliResult saved = cli({"save", b});
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.outLines(), Lines{"saved " + b});

    const std::string tuner(trimName(ConfigFileHeader::fromBytes(readFile(a).data()).inputNameText(1)));
    const Lines expected = {"input-name-2: \"" + tuner + "\" -> \"Radio\"",
                            "volume: " + valueTextOf(a, "VOLUME") + " -> -8",
                            "out-sub: " + valueTextOf(a, "OUT_ADJ_SUB") + " -> -1.5",
                            // The crossover is the subwoofer setting's: 80 Hz, then 120 Hz.
                            "subwoofer: 80 -> 120"};
    const CliResult diff = cli({"diff", a, b}, false);
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_EQ(diff.outLines(), expected);

    // JSON: the same names, values typed (levels as numbers, names as strings).
    const CliResult json = cli({"diff", "--json", a, b}, false);
    EXPECT_EQ(json.status, 1) << json.err;
    const nlohmann::json differences = parseObject(json.out).value("differences", nlohmann::json::array());
    ASSERT_EQ(differences.size(), 4u) << json.out;
    const nlohmann::json& name = differences[0];
    EXPECT_EQ(name.value("name", ""), "input-name-2");
    EXPECT_EQ(name.value("b", ""), "Radio");
    const nlohmann::json& volume = differences[1];
    EXPECT_EQ(volume.value("name", ""), "volume");
    EXPECT_TRUE(volume.contains("a") && volume["a"].is_number() && volume.contains("b") && volume["b"].is_number())
        << json.out;
    EXPECT_EQ(volume.value("b", 0.0), -8.0);
    EXPECT_EQ(differences[2].value("b", 0.0), -1.5);

    const CliResult same = cli({"diff", a, a}, false);
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "");

    const CliResult withUnit = cli({"diff", a, "unit"});
    EXPECT_EQ(withUnit.status, 1) << withUnit.err;
    EXPECT_EQ(withUnit.outLines(), expected);
    EXPECT_EQ(cli({"diff", b, "unit"}).status, 0);

    // Another ROM is refused, and compared when forced.
    Bytes other = readFile(b);
    other[17] = '0';
    writeFile(folder.file("other.lex"), other);
    const CliResult refused = cli({"diff", a, folder.file("other.lex")}, false);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("different ROM timestamps"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
    const CliResult forced = cli({"diff", "--force", a, folder.file("other.lex")}, false);
    EXPECT_EQ(forced.status, 1);
    EXPECT_EQ(forced.outLines().size(), 4u);

    // The whole file back.
    const CliResult restored = cli({"restore", a});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(cli({"diff", a, "unit"}).status, 0);
    EXPECT_EQ(paramValue("VOLUME"), readFile(a)[206 + paramId("VOLUME")]);
}

TEST_F(CliTest, RestoreSaysWhichValuesItClamped)
{
    startUnit();
    const std::string a = folder.file("a.lex");
    ASSERT_EQ(cli({"save", a}).status, 0);
    Bytes bytes = readFile(a);
    bytes[206 + static_cast<std::size_t>(paramId("MENU_BKGND"))] = 9; // its maximum is 3
    writeFile(folder.file("bad.lex"), bytes);
    const CliResult r = cli({"restore", folder.file("bad.lex")});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.errLines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("Reseting BAD System Paramater ID="), std::string::npos) << r.err;
    EXPECT_EQ(paramValue("MENU_BKGND"), 3);
}

TEST_F(CliTest, RestoreOnlySpeakersChangesExactlyTheSpeakerParameters)
{
    startUnit();
    const std::string a = folder.file("a.lex");
    ASSERT_EQ(cli({"save", a}).status, 0);
    for (const char* line : {"set FRONT_SPKR 0", "set FRONT_HPASS 0", "set SUB_LOWPASS 3", "set VOLUME 72",
                             "set OUT_ADJ_SUB 17"})
        ASSERT_TRUE(sim->command(line));
    ASSERT_EQ(cli({"set", "custom-name", "Other"}).status, 0);
    const sim::UnitSnapshot before = sim->snapshot();

    const CliResult r = cli({"restore", a, "--only", "speakers"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.outLines(), Lines{"restored 3 value(s) from " + a});

    const std::vector<std::string> speaker = {"FRONT_SPKR", "FRONT_HPASS_SMALL", "FRONT_HPASS", "CENTER_SPKR",
                                              "BSPLIT_SMALL", "BSPLIT", "SIDE_SPKR", "SIDE_STD_HPASS",
                                              "SIDE_DIPOLE_HPASS", "SIDE_HPASS", "REAR_SPKR", "REAR_SMALL_HPASS",
                                              "REAR_HPASS", "SUBWOOFER", "SUB_LOWPASS"};
    const Bytes file = readFile(a);
    const sim::UnitSnapshot after = sim->snapshot();
    for (std::size_t id = 0; id < after.paramValues.size(); ++id) {
        const bool isSpeaker = std::find(speaker.begin(), speaker.end(), after.paramNames[id]) != speaker.end();
        EXPECT_EQ(after.paramValues[id], isSpeaker ? file[206 + id] : before.paramValues[id]) << after.paramNames[id];
    }
    EXPECT_EQ(after.customName, "Other");
    EXPECT_EQ(after.inputNames, before.inputNames);

    const CliResult unknown = cli({"restore", a, "--only", "speakers,bogus"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.errLines(), Lines{"brennmark-cli: unknown name bogus in --only"});
}

// Every file the loader refuses is refused by every command, before anything
// is written to the unit: status 2, one line naming the file and the reason.
TEST_F(CliTest, FilesThatAreNotWholeAndSoundAreStatusTwoAndSendNothing)
{
    startUnit();
    const std::string a = folder.file("a.lex");
    ASSERT_EQ(cli({"save", a}).status, 0);
    const Bytes saved = readFile(a);
    writeFile(folder.file("short.lex"), Bytes(saved.begin(), saved.begin() + 250));
    writeFile(folder.file("one-short.lex"), Bytes(saved.begin(), saved.end() - 1));
    // The system parameter record gone: the effect records follow the header.
    Bytes noRecord(saved.begin(), saved.begin() + 204);
    noRecord.insert(noRecord.end(), saved.begin() + 206 + saved[205], saved.end());
    writeFile(folder.file("no-record.lex"), noRecord);
    ASSERT_EQ(::mkfifo(folder.file("fifo.lex").c_str(), 0600), 0);
    sim->clearReceived();

    struct Row {
        Lines args;
        std::string file; // the one refused, named in the message
        std::string reason;
    };
    const std::string missing = folder.file("missing.lex"), cut = folder.file("short.lex"),
                      oneShort = folder.file("one-short.lex"), noRec = folder.file("no-record.lex"),
                      fifo = folder.file("fifo.lex"), noFolder = folder.file("no-folder/x.lex");
    const std::vector<Row> rows = {
        {{"restore", missing}, missing, "No such file or directory"},
        {{"restore", cut}, cut, "ends 148 bytes short of the system parameter record"},
        {{"restore", cut, "--only", "speakers"}, cut, "ends 148 bytes short"},
        {{"restore", oneShort}, oneShort, "ends 1 byte short of effect parameter record"},
        {{"restore", oneShort, "--only", "BASS,TREBLE"}, oneShort, "ends 1 byte short"},
        {{"restore", noRec}, noRec, "no system parameter record at offset 204"},
        {{"restore", noRec, "--only", "BASS,TREBLE"}, noRec, "no system parameter record"},
        {{"restore", fifo}, fifo, "not a regular file"},
        {{"diff", missing, a}, missing, "No such file or directory"},
        {{"diff", a, oneShort}, oneShort, "ends 1 byte short"},
        {{"diff", fifo, "unit"}, fifo, "not a regular file"},
        {{"save", noFolder}, noFolder, "No such file or directory"},
        {{"save", fifo}, fifo, "not a regular file"},
    };
    for (const Row& row : rows) {
        FifoWatchdog watchdog(fifo);
        const CliResult r = cli(row.args);
        EXPECT_FALSE(watchdog.stop()) << row.args[0] << " " << row.file << " waited on the FIFO";
        EXPECT_EQ(r.status, 2) << row.args[0] << " " << row.file;
        ASSERT_EQ(r.errLines().size(), 1u) << r.err;
        EXPECT_NE(r.err.find(row.file + ": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    for (std::uint8_t write : {DC_CMD_SET_INPUT_NAME, DC_CMD_SET_CUST_NAME, DC_CMD_SET_SYS_PARAM_VALUES})
        EXPECT_FALSE(received(write)) << int(write);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.file("fifo.lex").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is still a FIFO";
}

// SIGTERM while a save waits for the unit: the process ends and no temporary
// file is left beside the target.
TEST_F(CliTest, TerminatedSaveLeavesNoTemporaryFile)
{
    sim::SimOptions slow;
    slow.answerDelayMs = 40; // the save takes seconds, so it is caught midway
    startUnit(slow);
    ::mkdir(folder.file("saves").c_str(), 0700);
    auto save = spawnCli({"save", folder.file("saves/a.lex")}, "save");
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder.file("saves")))
            names.push_back(e.path().filename().string());
        return names;
    };
    ASSERT_TRUE(waitUntil([&] { return !entries().empty(); }, 30000)) << "the save never began";
    save->terminate();
    EXPECT_EQ(save->wait(), 128 + SIGTERM) << save->err();
    EXPECT_EQ(entries(), std::vector<std::string>{}) << "a temporary file was left";
}

// --- watch ---------------------------------------------------------------------

TEST_F(CliTest, WatchPrintsTheStateThenTimedChangesByControlNameAndTheLine)
{
    sim::SimOptions options;
    startUnit(options);
    auto watch = spawnCli({"watch", "--json", "--seconds", "12"}, "watch");
    ASSERT_TRUE(watch->started());
    // Once the watcher is connected (its greeting turns front-panel reports on).
    ASSERT_TRUE(waitUntil([&] { return sim->snapshot().frontPanelReporting; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"state\"") != std::string::npos; }, 5000));
    ASSERT_TRUE(sim->command("set VOLUME 50"));
    ASSERT_TRUE(sim->command("set FB_BALANCE 0"));
    ASSERT_TRUE(sim->command("display \"HELLO\" \"THERE\""));
    ASSERT_TRUE(sim->command("sleep"));
    ASSERT_TRUE(sim->command("wake"));
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"awake\"") != std::string::npos; }, 5000));
    // The line pulled, and a unit plugged back whose volume was turned meanwhile.
    sim->stop();
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"lost\"") != std::string::npos; }, 5000)) << watch->out();
    options.fast = true;
    options.linkPath = folder.file("unit");
    sim = std::make_unique<sim::SimServer>(options);
    ASSERT_TRUE(sim->command("set VOLUME 60"));
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"value\":-20") != std::string::npos; }, 8000))
        << watch->out();
    watch->terminate();
    EXPECT_EQ(watch->wait(), 0) << watch->err();

    const Lines lines = CliResult::splitLines(watch->out());
    ASSERT_FALSE(lines.empty());
    const nlohmann::json first = parseObject(lines[0]);
    EXPECT_EQ(first.value("event", ""), "state");
    const nlohmann::json values = first.value("values", nlohmann::json::object());
    EXPECT_EQ(values.value("volume", 0), -35);
    EXPECT_EQ(values.value("bass", 99.0), 0.0);
    std::vector<std::string> seen;
    for (const std::string& line : lines) {
        const nlohmann::json e = parseObject(line);
        const std::string time = e.value("time", "");
        EXPECT_TRUE(!time.empty() && time.back() == 'Z') << line;
        const std::string kind = e.value("event", "");
        if (kind == "change") {
            seen.push_back(e.value("name", "") + " " + jsonText(e.value("value", nlohmann::json())));
        } else if (kind == "line" || kind == "power") { // the service API's shapes
            seen.push_back(kind + " " + e.value("state", ""));
        } else if (kind == "display") {
            seen.push_back("display " + trimmed(e.value("line1", "")));
        } else {
            seen.push_back(kind);
        }
    }
    auto saw = [&](const std::string& what) { return std::find(seen.begin(), seen.end(), what) != seen.end(); };
    for (const char* what : {"volume -30", "front-back -16", "display HELLO", "power asleep", "power awake", "line lost",
                             "line connected", "volume -20"})
        EXPECT_TRUE(saw(what)) << what << " in\n" << watch->out();
    EXPECT_FALSE(saw("VOLUME -30")) << "definition names stay out of watch";
}

// A watch outlives a request the unit never answered and a line that dropped:
// it goes on reporting the unit's changes after each.
TEST_F(CliTest, WatchKeepsReportingThroughATimeOutAndALineDrop)
{
    startUnit();
    auto watch = spawnCli({"watch", "--json", "--seconds", "40"}, "watch");
    ASSERT_TRUE(watch->started());
    ASSERT_TRUE(waitUntil([&] { return sim->snapshot().frontPanelReporting; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The unit's raw volume 40 is -40 dB, 50 is -30 dB.
    auto reported = [&](int dB) {
        for (const std::string& line : CliResult::splitLines(watch->out())) {
            const nlohmann::json e = parseObject(line);
            if (e.value("event", "") == "change" && e.value("name", "") == "volume" && e.value("value", 0) == dB)
                return true;
        }
        return false;
    };

    // The unit is switched on again, then answers nothing: the status read
    // its wake-up starts times out.
    ASSERT_TRUE(sim->command("sleep"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::size_t before = receivedCodes().size();
    sim->setSilentAfterPackets(1);
    ASSERT_TRUE(sim->command("wake"));
    // The unit answers the first request after its wake-up and no other: the
    // next one goes unanswered (a waiting command then prompts "Timeout", a
    // sweep's request is left pending).
    ASSERT_TRUE(waitUntil([&] { return receivedCodes().size() >= before + 2; }, 30000))
        << watch->err() << testing::PrintToString(receivedCodes());
    // Whichever request it was, the silence is reported.
    auto lineReported = [&](const char* state) {
        for (const std::string& line : CliResult::splitLines(watch->out())) {
            const nlohmann::json e = parseObject(line);
            if (e.value("event", "") == "line" && e.value("state", "") == state)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil([&] { return lineReported("not_answering"); }, 20000)) << watch->out() << watch->err();
    sim->setSilent(false);
    ASSERT_TRUE(sim->command("set VOLUME 40"));
    EXPECT_TRUE(waitUntil([&] { return reported(-40); }, 20000)) << watch->out() << watch->err();

    // The line drops; a unit comes back on the same device.
    sim->stop();
    sim::SimOptions options;
    options.fast = true;
    options.linkPath = folder.file("unit");
    sim = std::make_unique<sim::SimServer>(options);
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(waitUntil([&] { return sim->snapshot().frontPanelReporting; }, 30000)) << "greeted again";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(sim->command("set VOLUME 50"));
    EXPECT_TRUE(waitUntil([&] { return reported(-30); }, 20000)) << watch->out() << watch->err();

    watch->terminate();
    EXPECT_EQ(watch->wait(), 0) << watch->err();
}

// What watch tells after each thing the unit does, by the last event of its
// kind: an event one step behind (the stream of the input before) or decoded
// with another ROM's definitions fails, and so does one told late.
TEST_F(CliTest, WatchTellsTheStreamOfTheNewInputAndAnotherRomAtOnce)
{
    startUnit();
    auto watch = spawnCli({"watch", "--json", "--seconds", "60"}, "watch");
    ASSERT_TRUE(watch->started());
    ASSERT_TRUE(waitUntil([&] { return watch->out().find("\"state\"") != std::string::npos; }, 5000));
    // The last event of its kind naming `name`; a state counts as a change
    // of every value it holds.
    auto lastOf = [&](const std::string& event, const std::string& name) {
        nlohmann::json found = nlohmann::json::object();
        for (const std::string& line : CliResult::splitLines(watch->out())) {
            const nlohmann::json e = parseObject(line);
            const std::string kind = e.value("event", "");
            const nlohmann::json values = e.value("values", nlohmann::json::object());
            if (kind == event && e.value("name", "") == name)
                found = e;
            else if (kind == "state" && event == "change" && values.contains(name))
                found = nlohmann::json{{"value", values[name]}};
        }
        return found;
    };
    auto streamNow = [&] {
        const sim::UnitSnapshot u = sim->snapshot();
        return trimmed(std::string(StreamFormatName(u.sysStatus[4])) + " " + SampleRateName(u.sysStatus[3]));
    };
    auto swapRom = [&] { return plugInUnit(sim::Firmware::B); };
    struct Step {
        const char* what;
        std::function<bool()> act;
        const char* event;
        const char* name;
        std::function<std::string(const nlohmann::json&)> shown;
        std::function<std::string()> expected;
        int limitMs;
    };
    auto value = [](const nlohmann::json& e) { return e.contains("value") ? jsonText(e["value"]) : std::string(); };
    auto text = [](const char* t) { return [t] { return std::string(t); }; };
    const std::vector<Step> steps = {
        {"an input at the unit", [&] { return sim->command("ir INPUT_TV"); }, "change", "stream", value, streamNow,
         5000},
        {"another input", [&] { return sim->command("ir INPUT_CD"); }, "change", "stream", value, streamNow, 5000},
        {"another ROM where the unit was", swapRom, "unit", "",
         [](const nlohmann::json& e) { // the ROM's time stamp, after "(PRODUCT) "
             const std::string rom = e.value("rom", "");
             const std::size_t after = rom.find(") ");
             return after == std::string::npos ? std::string() : trimmed(rom.substr(after + 2));
         },
         [&] { return trimmed(UnitConfig::fromBytes(sim->snapshot().unitConfig.data()).timeStampText()); },
         30000},
        {"its volume report", [&] { return sim->command("set VOLUME 52"); }, "change", "volume", value, text("-28"),
         30000},
        {"its input report", [&] { return sim->command("ir INPUT_TUNER"); }, "change", "input", value,
         text("Tuner"), 10000},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.act());
        EXPECT_TRUE(waitUntil([&] { return step.shown(lastOf(step.event, step.name)) == step.expected(); },
                              step.limitMs))
            << "last: " << step.shown(lastOf(step.event, step.name)) << " expected " << step.expected() << "\n"
            << watch->out();
    }
    watch->terminate();
    EXPECT_EQ(watch->wait(), 0) << watch->err();
    // Between the other unit's answer and its state, nothing is decoded with
    // definitions that are not its own.
    bool between = false;
    for (const std::string& line : CliResult::splitLines(watch->out())) {
        const std::string kind = parseObject(line).value("event", "");
        between = kind == "unit" || (between && kind != "state");
        EXPECT_FALSE(between && kind == "change") << line;
    }
}

// --- first use, --simulate and TCP ----------------------------------------------

TEST_F(CliTest, FirstUseDownloadsTheDefinitions)
{
    startUnit({}, /*download=*/true);
    const CliResult first = cli({"get", "SUB_LOWPASS"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "") << "no progress line when standard error is not a terminal";
    EXPECT_EQ(first.out, "SUB_LOWPASS " + std::to_string(paramValue("SUB_LOWPASS")) + "\n");
    EXPECT_TRUE(received(DC_CMD_GET_SYS_PARAM_BY_ID));
    sim->clearReceived();
    EXPECT_EQ(cli({"get", "SUB_LOWPASS"}).status, 0);
    EXPECT_FALSE(received(DC_CMD_GET_SYS_PARAM_BY_ID)) << "the second run uses the cache";
}

TEST_F(CliTest, AnotherRomReloadsTheDefinitionsAsTheProgramDoes)
{
    sim::SimServer firmwareA(sim::SimOptions{});
    ASSERT_TRUE(firmwareA.start());
    prepareSettings(&firmwareA); // a cache from firmware A
    firmwareA.stop();
    ASSERT_TRUE(plugInUnit(sim::Firmware::B));

    const CliResult r = cli({"get", "SUB_LOWPASS", "volume"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.errLines(), Lines{"brennmark-cli: ROM Timestamp mismatch. About to reload internal variables."});
    EXPECT_EQ(r.outLines(), (Lines{"SUB_LOWPASS " + std::to_string(paramValue("SUB_LOWPASS")),
                                   "volume " + std::to_string(int(paramValue("VOLUME")) - 80)}));
    EXPECT_TRUE(received(DC_CMD_GET_SYS_PARAM_BY_ID));
}

TEST_F(CliTest, EveryCommandOverTcpFromRidazivSim)
{
    sim::SimServer definitions(sim::SimOptions{});
    ASSERT_TRUE(definitions.start());
    prepareSettings(&definitions);
    definitions.stop();

    Process server({BM_SIM_PATH, "--fast", "--tcp", "127.0.0.1:0"}, folder.file("config"), folder.file("sim.out"),
                   folder.file("sim.err"));
    ASSERT_TRUE(server.started());
    std::string url;
    ASSERT_TRUE(waitUntil([&] {
        const Lines lines = CliResult::splitLines(server.out());
        if (lines.size() >= 2 && lines[1].rfind("tcp://127.0.0.1:", 0) == 0)
            url = lines[1];
        return !url.empty();
    }, 5000)) << server.out() << server.err();

    const CliResult r = cli({"--port", url, "status", "--json"}, false);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(parseObject(r.out).value("product", ""), "DE-1 COMPLETE");

    // The other commands over the same bridge, one connection each.
    const std::string saved = folder.file("tcp.lex");
    EXPECT_EQ(cli({"--port", url, "save", saved}, false).status, 0);
    const CliResult set = cli({"--port", url, "set", "volume", "-21", "front-speakers", "large"}, false);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.outLines(), (Lines{"volume -21", "front-speakers large"}));
    EXPECT_EQ(cli({"--port", url, "get", "volume"}, false).outLines(), Lines{"volume -21"});
    const CliResult diff = cli({"--port", url, "diff", saved, "unit"}, false);
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_EQ(diff.outLines(), (Lines{"volume: -35 -> -21", "front-speakers: small-80 -> large"})) << diff.out;
    EXPECT_EQ(cli({"--port", url, "restore", saved, "--only", "speakers"}, false).status, 0);
    EXPECT_EQ(cli({"--port", url, "get", "front-speakers"}, false).outLines(), Lines{"front-speakers small-80"});
    EXPECT_EQ(cli({"--port", url, "params"}, false).status, 0);
    EXPECT_EQ(cli({"--port", url, "watch", "--seconds", "1"}, false).status, 0);
    server.terminate();
    EXPECT_EQ(server.wait(), 0);
}

} // namespace
} // namespace bm::test
