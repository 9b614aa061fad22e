// The captures in tests/captures/, replayed against today's brennmark-cli: a
// request that changed, went missing or came in addition fails the test.
// With BM_RECORD_CAPTURES=FOLDER the same table records them afresh against
// the simulated unit instead (scripts/record-captures).
#include "cli_rig.h"

#include "link/capture_file.h"
#include "sim/replay.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace bm::test {
namespace {

enum class Cache { None, Own, FirmwareA };

struct Fixture {
    const char* file;          // in tests/captures/
    const char* what;
    sim::SimOptions unit;      // the unit it is recorded against
    Cache cache;               // the definitions the program starts with
    std::vector<std::string> args;
    int status;                // brennmark-cli's exit status
    // Console lines for the unit while recording, each after its pause.
    std::vector<std::pair<int, std::string>> console;
    // Run against the unit before recording, without a capture (a file to restore).
    std::vector<std::string> before = {};
};

sim::SimOptions unitWith(void (*tune)(sim::SimOptions&))
{
    sim::SimOptions o;
    tune(o);
    return o;
}

const std::vector<Fixture>& fixtures()
{
    static const std::vector<Fixture> all = {
        {"first-start.jsonl", "a first start: the definitions downloaded, then the status", {}, Cache::None,
         {"status"}, 0, {}},
        {"rom-change.jsonl", "a unit whose ROM changed: downloaded again",
         unitWith([](sim::SimOptions& o) { o.firmware = sim::Firmware::B; }), Cache::FirmwareA, {"status"}, 0, {}},
        {"refused-write.jsonl", "a volume the unit refuses",
         unitWith([](sim::SimOptions& o) { o.nakCommand = 0x21; }), Cache::Own, {"set", "volume", "-30"}, 2, {}},
        {"line-lost-download.jsonl", "the line lost in the middle of the download",
         unitWith([](sim::SimOptions& o) { o.dropAfterPackets = 40; }), Cache::None, {"status"}, 2, {}},
        {"sleep-wake.jsonl", "the unit put to sleep and woken at its panel while watched", {}, Cache::Own,
         {"watch", "--seconds", "3"}, 0, {{800, "sleep"}, {800, "wake"}}},
        {"restore.jsonl", "a restore of a saved configuration", {}, Cache::Own,
         {"restore", BM_CAPTURES_DIR "/restore.lex"}, 0, {}, {"save", BM_CAPTURES_DIR "/restore.lex"}},
    };
    return all;
}

class CaptureFixtures : public CliTest {
protected:
    // The settings a fixture starts with: fast timings (or the link's own),
    // and the definitions it says.
    void prepare(const Fixture& f, bool fastTiming = true)
    {
        IniSettingsStore file(settingsFile());
        BatchedSettings store(file);
        if (fastTiming)
            storeFastTiming(store, configTiming());
        sim::SimOptions as = f.unit;
        if (f.cache == Cache::FirmwareA)
            as.firmware = sim::Firmware::A;
        if (f.cache != Cache::None)
            seedDefinitionCache(store, definitionOf(sim::SimServer(as).snapshot()));
    }

    CliResult run(const Fixture& f, std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv{BM_CLI_PATH, "--port", folder.file("unit")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), f.args.begin(), f.args.end());
        Process p(argv, folder.file("config"), folder.file("out.txt"), folder.file("err.txt"));
        CliResult r;
        r.status = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    }

    // Replays `f` (strictly unless `loose`) against brennmark-cli; the first
    // difference, "" when none.
    std::string replay(const Fixture& f, bool loose, CliResult& result)
    {
        Capture capture;
        CaptureError error;
        if (!readCaptureFile(std::string(BM_CAPTURES_DIR) + "/" + f.file, capture, error))
            return "unreadable: " + error.text();
        sim::ReplayServer server(capture, {loose, folder.file("unit"), {}});
        std::string startError;
        if (!server.start(startError))
            return "cannot serve: " + startError;
        result = run(f);
        return server.stop();
    }
};

TEST_F(CaptureFixtures, EveryCaptureReplaysWithoutADifference)
{
    const char* recordTo = std::getenv("BM_RECORD_CAPTURES");
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(std::string(f.file) + ": " + f.what);
        std::filesystem::remove(folder.file("config/Tollvane/Brennmark.conf"));
        prepare(f);
        if (recordTo != nullptr && *recordTo != '\0') {
            sim::SimOptions options = f.unit;
            options.fast = true;
            options.linkPath = folder.file("unit");
            sim::SimServer unit(options);
            ASSERT_TRUE(unit.start());
            if (!f.before.empty()) {
                Fixture setup = f;
                setup.args = f.before;
                const CliResult r = run(setup);
                ASSERT_EQ(r.status, 0) << r.err;
            }
            std::thread console([&] {
                for (const auto& [pauseMs, line] : f.console) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                    unit.command(line);
                }
            });
            const CliResult r = run(f, {"--capture", std::string(recordTo) + "/" + f.file});
            console.join();
            EXPECT_EQ(r.status, f.status) << r.err;
            continue;
        }
        CliResult r;
        EXPECT_EQ(replay(f, false, r), "");
        EXPECT_EQ(r.status, f.status) << r.err;
    }
}

// Taken with the tests' fast timings, played to the link's own: the same
// answers by request code, the same outcome.
TEST_F(CaptureFixtures, ACaptureReplaysLooselyWithOtherTiming)
{
    if (std::getenv("BM_RECORD_CAPTURES"))
        GTEST_SKIP() << "recording";
    for (const char* file : {"refused-write.jsonl", "sleep-wake.jsonl"}) {
        SCOPED_TRACE(file);
        const Fixture& f = *std::find_if(fixtures().begin(), fixtures().end(),
                                          [&](const Fixture& x) { return std::string(x.file) == file; });
        std::filesystem::remove(folder.file("config/Tollvane/Brennmark.conf"));
        prepare(f, false);
        CliResult r;
        EXPECT_EQ(replay(f, true, r), "");
        EXPECT_EQ(r.status, f.status) << r.err;
    }
}

// A request the recording does not have is reported, and the program gets no
// answer to it: a changed program cannot pass.
TEST_F(CaptureFixtures, AChangedRequestIsReported)
{
    if (std::getenv("BM_RECORD_CAPTURES"))
        GTEST_SKIP() << "recording";
    Fixture f = fixtures()[2]; // refused-write: set volume -30
    f.args = {"set", "volume", "-31"};
    prepare(f);
    CliResult r;
    const std::string difference = replay(f, false, r);
    EXPECT_NE(difference.find("differs: sent f10421"), std::string::npos) << difference;
}

// ridaziv-sim refuses a malformed capture with its line, and exits 1 with
// the first difference.
TEST_F(CaptureFixtures, TheSimulatorRefusesMalformedCaptures)
{
    if (std::getenv("BM_RECORD_CAPTURES"))
        GTEST_SKIP() << "recording";
    struct Bad {
        const char* text;
        const char* says;
    };
    const Bad bad[] = {
        {"{\"capture\":\"brennmark\",\"format\":1}\n{\"t\":0,\"dir\":\"tx\",\"hex\":\"f1x\"}\n", "line 2: "},
        {"{\"capture\":\"brennmark\",\"format\":1}\n{\"t\":1,\"mark\":\"op\",\"name\":\"a\"}\n"
         "{\"t\":0.5,\"dir\":\"tx\",\"hex\":\"f1\"}\n",
         "line 3: "},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.text);
        {
            std::ofstream out(folder.file("bad.jsonl"), std::ios::binary | std::ios::trunc);
            out << b.text;
        }
        Process sim({BM_SIM_PATH, "--replay", folder.file("bad.jsonl")}, folder.file("config"),
                    folder.file("sim.out"), folder.file("sim.err"));
        EXPECT_EQ(sim.wait(), 2);
        EXPECT_NE(sim.err().find(b.says), std::string::npos) << sim.err();
    }
}

} // namespace
} // namespace bm::test
