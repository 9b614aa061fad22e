// What a script can rely on from brennmark-cli's exit status and messages: a
// file, a device name or an --only name that cannot be used is status 2 before
// the port is opened; output that cannot be written fails the run; a unit that
// refuses to be read is a refusal (2), not a missing unit (3); a signal ends a
// one-shot run with the goodbye; a parameter write is never "done" when
// nothing was sent, nor "failed" when the unit merely did not confirm it.
#include "cli_rig.h"

#include "platform/ini_format.h"

#include <csignal>
#include <filesystem>

namespace bm::test {
namespace {

using Lines = std::vector<std::string>;

TEST_F(CliTest, ExitStatusesAScriptCanRelyOn)
{
    startUnit();
    const std::string saved = folder.file("saved.lex");
    ASSERT_EQ(cli({"save", saved}).status, 0);
    sim.reset();

    struct Case {
        const char* name;
        int nak;          // a command the unit refuses (-1: none)
        Lines args;       // after --port UNIT (unless they name a port themselves)
        const char* out;  // standard output ("": a file)
        int status;
        const char* says; // on standard error
        bool opensPort;
    };
    const std::string missing = folder.file("no-such.lex");
    const std::string noFolder = folder.file("no/such/folder/a.lex");
    const Case cases[] = {
        {"output that cannot be written", -1, {"get", "volume"}, "/dev/full", 2, "cannot write to standard output", true},
        {"json output that cannot be written", -1, {"--json", "status"}, "/dev/full", 2, "cannot write to standard output", true},
        {"help that cannot be written", -1, {"--help"}, "/dev/full", 2, "cannot write to standard output", false},
        {"tcp without a port", -1, {"--port", "tcp://localhost", "get", "volume"}, "", 2, "tcp://HOST:PORT", false},
        {"unix without a path", -1, {"--port", "unix:", "status"}, "", 2, "unix:PATH", false},
        {"a refused status read", DC_CMD_GET_SYS_STATUS, {"status"}, "", 2, "refused", true},
        {"a refused configuration read", DC_CMD_GET_CONFIG, {"get", "volume"}, "", 2, "refused", true},
        {"restore of a missing file", -1, {"restore", missing}, "", 2, "no-such.lex", false},
        {"restore --only of an unknown name", -1, {"restore", "--only", "speakers,NO_SUCH", saved}, "", 2,
         "unknown name NO_SUCH in --only", false},
        {"diff of a missing file", -1, {"diff", missing, "unit"}, "", 2, "no-such.lex", false},
        {"save into a missing folder", -1, {"save", noFolder}, "", 2, "cannot write", false},
        {"restore --only of known names", -1, {"restore", "--only", "speakers,names", saved}, "", 0, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimOptions options;
        options.nakCommand = c.nak;
        startUnit(options);
        Lines argv{BM_CLI_PATH};
        if (std::find(c.args.begin(), c.args.end(), "--port") == c.args.end())
            argv.insert(argv.end(), {"--port", folder.file("unit")});
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const std::string out = *c.out ? c.out : folder.file("out.txt");
        Process p(argv, folder.file("config"), out, folder.file("err.txt"));
        EXPECT_EQ(p.wait(), c.status) << p.err();
        EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
        EXPECT_EQ(p.err().find("never identified itself"), std::string::npos) << p.err();
        EXPECT_EQ(!sim->receivedPackets().empty(), c.opensPort) << testing::PrintToString(receivedCodes());
        sim.reset();
    }
}

// SIGTERM or SIGINT during a one-shot run ends it with the goodbye that watch
// sends (front-panel reports off, HOST_SLEEP) and leaves no temporary file; a
// SIGINT the run was started with ignored stays ignored.
TEST_F(CliTest, ASignalEndsAOneShotRunWithTheGoodbye)
{
    struct Case {
        const char* name;
        Lines args;
        int signal;
        bool interruptIgnored; // started with SIGINT ignored (a background job)
        int status;
    };
    const std::string file = folder.file("saves/a.lex");
    const Case cases[] = {
        {"save, SIGTERM", {"save", file}, SIGTERM, false, 128 + SIGTERM},
        {"status, SIGINT", {"status"}, SIGINT, false, 128 + SIGINT},
        {"status, SIGINT ignored", {"status"}, SIGINT, true, 0},
        {"save, SIGINT ignored, then SIGTERM", {"save", file}, SIGTERM, true, 128 + SIGTERM},
    };
    ::mkdir(folder.file("saves").c_str(), 0700);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimOptions slow;
        slow.answerDelayMs = 40; // the run takes seconds, so it is caught midway
        startUnit(slow);
        void (*before)(int) = c.interruptIgnored ? std::signal(SIGINT, SIG_IGN) : nullptr;
        auto run = spawnCli(c.args, "run");
        if (c.interruptIgnored)
            std::signal(SIGINT, before);
        ASSERT_TRUE(run->started());
        ASSERT_TRUE(waitUntil([&] { return receivedCodes().size() >= 4; }, 30000)) << "the run never began";
        if (c.interruptIgnored)
            run->sendSignal(SIGINT); // ignored: the run goes on
        run->sendSignal(c.interruptIgnored && c.signal == SIGINT ? 0 : c.signal);
        EXPECT_EQ(run->wait(), c.status) << run->err();
        EXPECT_TRUE(received(HOST_SLEEP)) << testing::PrintToString(receivedCodes());
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(folder.file("saves")))
            if (e.path().filename() != "a.lex")
                left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{}) << "a temporary file was left";
        std::filesystem::remove(file);
        sim.reset();
    }
}

// A speaker write: "not confirmed" when the unit took the values but did not
// answer (a unit held up applies them once it runs again), and a failure, with
// nothing sent, when a parameter's definition is not held.
TEST_F(CliTest, AParameterWriteSaysWhatWasSeen)
{
    startUnit();
    // The requests a speaker set makes before its write.
    const CliResult first = cli({"set", "front-speakers", "large"});
    ASSERT_EQ(first.status, 0) << first.err;
    const auto codes = receivedCodes();
    const auto write = std::find(codes.begin(), codes.end(), DC_CMD_SET_SYS_PARAM_VALUES);
    ASSERT_NE(write, codes.end());
    const int beforeWrite = static_cast<int>(write - codes.begin());

    struct Case {
        const char* name;
        bool frozen;        // the unit answers nothing from the write on
        bool undefinedMax;  // a parameter's maximum missing from the cache
        const char* says;
        bool writes;
    };
    const Case cases[] = {
        {"the unit held up at the write", true, false, "front-speakers: not confirmed", true},
        {"a parameter's definition not held", false, true, "nothing was sent", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.reset();
        startUnit();
        if (c.undefinedMax) {
            const int last = static_cast<int>(sim->snapshot().paramNames.size()) - 1;
            const Bytes bytes = readFile(settingsFile());
            ini::Document ini = ini::parse(std::string(bytes.begin(), bytes.end()));
            ASSERT_EQ(ini.erase("Config/Params/MaxValues/" + idKey(last)), 1u);
            const std::string text = ini::write(ini);
            writeFile(settingsFile(), Bytes(text.begin(), text.end()));
        }
        if (c.frozen)
            sim->setSilentAfterPackets(beforeWrite);
        const CliResult r = cli({"set", "front-speakers", "large"}); // a fresh unit: a change
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Failed"), std::string::npos) << r.err;
        EXPECT_EQ(received(DC_CMD_SET_SYS_PARAM_VALUES), c.writes) << testing::PrintToString(receivedCodes());
    }
}

} // namespace
} // namespace bm::test
