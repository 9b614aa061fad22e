// brennmark-cli's session against the simulated unit: a call reads only what
// its names need, the trace starts with the first byte, a busy port has its
// own exit status and can be waited for, and a run that changes nothing leaves
// the settings file alone.
#include "cli_rig.h"
#include "link/packet.h"
#include "platform/termios_serial.h"
#include "tests/support/memory_settings.h"

#include <sys/stat.h>

namespace bm::test {
namespace {

using Lines = std::vector<std::string>;
using Codes = std::vector<std::uint8_t>;

std::size_t countOf(const Codes& codes, std::uint8_t code)
{
    return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), code));
}

TEST_F(CliTest, ACallAsksTheUnitOnlyForWhatItsNamesNeed)
{
    startUnit();
    // Rows: the command; how many of each optional request the unit must see.
    // The greeting, the status and the ROM check (configuration) always go out.
    struct Row {
        std::vector<std::string> args;
        std::size_t zone2, customName, inputNames, values;
        std::size_t sweeps = 1; // a set reads again after its write
    };
    const std::vector<Row> rows = {
        {{"get", "volume"}, 0, 0, 0, 0},
        {{"get", "volume", "mute", "balance"}, 0, 0, 0, 0},
        {{"get", "bass"}, 0, 0, 0, 1},
        {{"get", "SUB_LOWPASS"}, 0, 0, 0, 1},
        {{"get", "zone2-volume"}, 1, 0, 0, 0},
        {{"get", "custom-name"}, 0, 1, 0, 0},
        {{"get", "input-name-3"}, 0, 0, 8, 0},
        {{"set", "volume", "-30"}, 0, 0, 0, 0, 2},
        {{"set", "bass", "+1"}, 0, 0, 0, 2, 2},
        {{"status"}, 1, 1, 8, 1},
    };
    for (const Row& row : rows) {
        sim->clearReceived();
        const CliResult r = cli(row.args);
        ASSERT_EQ(r.status, 0) << row.args[1] << ": " << r.err;
        // The unit reads the goodbye in its own time after the call has ended.
        EXPECT_TRUE(waitUntil([&] { return !receivedCodes().empty() && receivedCodes().back() == HOST_SLEEP; }))
            << "the goodbye is the last thing the unit reads";
        const Codes codes = receivedCodes();
        const std::string what = row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : "");
        EXPECT_EQ(countOf(codes, HOST_WAKEUP), 1u) << what;
        EXPECT_EQ(countOf(codes, DC_CMD_GET_CONFIG), 1u) << what << ": the ROM is checked once";
        EXPECT_EQ(countOf(codes, DC_CMD_GET_REC_STATUS), row.zone2 * row.sweeps) << what;
        EXPECT_EQ(countOf(codes, DC_CMD_GET_CUST_NAME), row.customName * row.sweeps) << what;
        EXPECT_EQ(countOf(codes, DC_CMD_GET_INPUT_NAME), row.inputNames * row.sweeps) << what;
        EXPECT_EQ(countOf(codes, DC_CMD_GET_SYS_PARAM_VALUES), row.values) << what;
    }
    // What was read is the unit's.
    ASSERT_TRUE(sim->command("set VOLUME 52"));
    EXPECT_EQ(cli({"get", "volume"}).outLines(), Lines{"volume -28"});
}

TEST_F(CliTest, TheTraceStartsWithTheFirstByte)
{
    sim::SimOptions silent;
    silent.silent = true;
    startUnit(silent);
    const std::string trace = folder.file("trace.txt");
    const CliResult r = cli({"--trace", trace, "status"});
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string text = Process::fileText(trace);
    EXPECT_NE(text.find("HOST_WAKEUP"), std::string::npos) << "the unanswered greeting is in the trace:\n" << text;
}

TEST_F(CliTest, ABusyPortIsStatusFourAndCanBeWaitedFor)
{
    startUnit();
    InMemorySettings portSettings;
    portSettings.writeString(keys::kComm, keys::kComDevice[0], folder.file("unit"));
    auto holder = std::make_unique<TermiosSerialPort>(portSettings);
    ASSERT_TRUE(holder->open(1));

    const CliResult busy = cli({"get", "volume"});
    EXPECT_EQ(busy.status, 4) << busy.err;
    EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
    EXPECT_EQ(cli({"--wait", "0", "get", "volume"}).status, 4);
    EXPECT_EQ(cli({"--wait", "soon", "get", "volume"}).status, 2) << "a usage error";

    // Waiting: the port comes free while the call waits.
    auto waiting = spawnCli({"--wait", "30", "get", "volume"}, "waiting");
    ASSERT_TRUE(waitUntil([&] { return waiting->err().find("busy") != std::string::npos; }, 10000)) << waiting->err();
    holder->close();
    EXPECT_EQ(waiting->wait(), 0) << waiting->err();
    EXPECT_EQ(CliResult::splitLines(waiting->out()), Lines{"volume " + std::to_string(int(paramValue("VOLUME")) - 80)});

    // No unit at all stays status 3.
    EXPECT_EQ(cli({"--port", folder.file("no-such-device"), "--wait", "1", "get", "volume"}, false).status, 3);
}

TEST_F(CliTest, ARunThatChangesNoSettingLeavesTheFileAlone)
{
    startUnit();
    const std::string file = folder.file("config/Tollvane/Brennmark.conf");
    ASSERT_EQ(cli({"get", "volume"}).status, 0); // the first run may store defaults it lacked
    auto stamp = [&] {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return std::pair{st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    };
    const auto before = stamp();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"get", "volume"},
                                                  std::vector<std::string>{"set", "volume", "-30"},
                                                  std::vector<std::string>{"status", "--json"}})
        ASSERT_EQ(cli(args).status, 0) << args[0];
    EXPECT_EQ(stamp(), before);
}

TEST_F(CliTest, TwoRomsAreKeptAndTheirFilesComparedByName)
{
    startUnit(); // firmware A, its definitions held
    ASSERT_TRUE(sim->command("set VOLUME 60"));
    const std::string a = folder.file("a.lex");
    ASSERT_EQ(cli({"save", a}).status, 0);
    const std::uint8_t subA = paramValue("SUB_LOWPASS");
    const int volumeIdA = paramId("VOLUME");

    // The same port, now a unit with ROM B: one download.
    ASSERT_TRUE(plugInUnit(sim::Firmware::B));
    ASSERT_TRUE(sim->command("set VOLUME 52"));
    ASSERT_TRUE(sim->command("set SUB_LOWPASS " + std::to_string((subA + 1) % 4)));
    ASSERT_NE(paramId("VOLUME"), volumeIdA) << "ROM B keeps volume under another id";
    const std::string bFile = folder.file("b.lex");
    const CliResult saved = cli({"save", bFile});
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_TRUE(received(DC_CMD_GET_SYS_PARAM_BY_ID));

    // Compared by name, each file with its own ROM's definitions.
    const CliResult diff = cli({"diff", "--force", a, bFile}, false);
    EXPECT_EQ(diff.status, 1) << diff.err;
    EXPECT_EQ(diff.err, "");
    const Lines lines = diff.outLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "volume: -20 -> -28"), lines.end()) << diff.out;
    // The crossover speaks as the subwoofer setting on both ROMs.
    const std::string sub = "subwoofer: 80 -> 120";
    EXPECT_NE(std::find(lines.begin(), lines.end(), sub), lines.end()) << diff.out;
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("PARAM_0x"), std::string::npos) << line;

    // Back to ROM A, and to B again: no download either time.
    for (sim::Firmware firmware : {sim::Firmware::A, sim::Firmware::B}) {
        ASSERT_TRUE(plugInUnit(firmware));
        const CliResult r = cli({"get", "SUB_LOWPASS", "volume"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << "no ROM message";
        EXPECT_FALSE(received(DC_CMD_GET_SYS_PARAM_BY_ID));
        EXPECT_EQ(r.outLines(), (Lines{"SUB_LOWPASS " + std::to_string(paramValue("SUB_LOWPASS")),
                                       "volume " + std::to_string(int(paramValue("VOLUME")) - 80)}));
    }
}

} // namespace
} // namespace bm::test
