// One table of sequences, each run twice against a fresh simulated unit: with
// brennmark-cli on the unit's own port, and through brennmarkd (its JSON API,
// and its frame-level line where a step asks for it with --trace). Both ways
// must end with the same outcome of every step (exit status, standard output,
// standard error), the same saved files and the same unit.
#include "tests/service/cli_run.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace bm::test {
namespace {

struct Step {
    std::string console;           // the unit's own console command ("sleep"), or ""
    std::vector<std::string> args; // brennmark-cli's arguments; {file} names a file of this run
    bool frames = false;           // through the service on its frame-level line (--trace)
    std::string expect;            // what its standard output must hold both ways, or ""
};

struct Sequence {
    std::string name;
    int nak = -1; // the command the unit refuses
    std::vector<Step> steps;
};

Step cli(std::vector<std::string> args, bool frames = false, std::string expect = {})
{
    return Step{"", std::move(args), frames, std::move(expect)};
}

Step cli(std::vector<std::string> args, std::string expect)
{
    return Step{"", std::move(args), false, std::move(expect)};
}

Step unitConsole(std::string line)
{
    return Step{std::move(line), {}, false, {}};
}

const std::vector<Sequence>& sequences()
{
    static const std::vector<Sequence> table = {
        {"refused set leaves the unit's value", 0x21,
         {cli({"set", "volume", "-30"}), cli({"get", "volume"}), cli({"set", "volume", "-30"}),
          cli({"--json", "get", "volume"})}},
        {"asleep unit", -1,
         {cli({"get", "power", "input", "effect"}), unitConsole("sleep"), cli({"get", "power", "input", "effect"}),
          cli({"ir", "BASS_UP"}), cli({"get", "power", "input", "effect"}), unitConsole("wake"),
          cli({"get", "power", "input"})}},
        {"a name written on the frame-level line", -1,
         {cli({"get", "input-name-5"}), cli({"set", "input-name-5", "Den TV"}, true), cli({"get", "input-name-5"}),
          cli({"save", "{file}"}), cli({"diff", "{file}", "unit"})}},
        {"speaker configuration written twice on the frame-level line", -1,
         {cli({"get", "center-speaker"}), cli({"set", "center-speaker", "none"}, true),
          cli({"get", "center-speaker", "front-speakers"}), cli({"set", "front-speakers", "large"}, true),
          cli({"get", "center-speaker", "front-speakers"})}},
        {"speakers after a set from another client", -1,
         {cli({"get", "subwoofer"}), cli({"set", "subwoofer", "120"}), cli({"set", "side-speakers", "large"}, true),
          cli({"get", "subwoofer", "side-speakers"}, true)}},
        {"restore of one group", -1,
         {cli({"save", "{file}"}), cli({"set", "bass", "+1.5", "treble", "-2"}), cli({"restore", "--only", "tone", "{file}"}),
          cli({"get", "bass", "treble"})}},
        {"relative changes in one set", -1,
         {cli({"set", "volume", "-25", "volume", "+=2"}), cli({"get", "volume"}, "volume -23\n"),
          cli({"set", "effect", "THX Cinema"}), cli({"get", "effect"}, "effect THX Cinema\n")}},
    };
    return table;
}

struct SequenceRun {
    std::vector<CliRun> steps;
    std::map<std::string, std::string> files;
    sim::UnitSnapshot unit;
};

// The sequence against `sim` with brennmark-cli on `port`; files in `dir`.
// Through `service`, a console change is waited for until the service has
// taken it in.
SequenceRun runSequence(const Sequence& seq, sim::SimServer& sim, const std::string& port, const std::string& dir,
                ServiceRig* service)
{
    SequenceRun run;
    const std::string file = dir + "/config.lex";
    const std::string trace = dir + "/trace.txt";
    for (const Step& step : seq.steps) {
        if (!step.console.empty()) {
            std::string error;
            EXPECT_TRUE(sim.command(step.console, &error)) << error;
            if (service) {
                const LineState want = step.console == "sleep" ? LineState::Asleep : LineState::Connected;
                for (int i = 0; i < 500 && service->service->unit().lineState() != want; ++i)
                    ::usleep(10000);
                EXPECT_EQ(service->service->unit().lineState(), want);
            }
            continue;
        }
        std::vector<std::string> args = {"--port", port};
        if (step.frames && service)
            args.insert(args.end(), {"--trace", trace});
        for (const std::string& a : step.args)
            args.push_back(a == "{file}" ? file : a);
        CliRun r = runCli(args);
        for (std::string* text : {&r.out, &r.err})
            for (std::size_t at; (at = text->find(dir)) != std::string::npos;)
                text->replace(at, dir.size(), "{dir}");
        if (std::find(step.args.begin(), step.args.end(), "ir") != step.args.end())
            r.out = withoutDisplay(r.out);
        run.steps.push_back(r);
    }
    if (::access(file.c_str(), F_OK) == 0)
        run.files["config.lex"] = slurp(file);
    run.unit = sim.snapshot();
    return run;
}

std::string label(const Step& step)
{
    std::string text = step.console.empty() ? "" : "unit: " + step.console;
    for (const std::string& a : step.args)
        text += a + " ";
    return text;
}

TEST(BothWays, EverySequenceEndsTheSameDirectAndThroughTheService)
{
    char dir[] = "/tmp/bm-both-ways-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string root = dir;
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::mkdir((root + "/config").c_str(), 0700);
    quickCliSettings();
    {
        // brennmark-cli's definition cache, filled once for both ways.
        sim::SimOptions o = ServiceRig::strictFast();
        sim::SimServer unit(o);
        ASSERT_TRUE(unit.start());
        ASSERT_EQ(runCli({"--port", unit.devicePath(), "get", "volume"}).status, 0);
        unit.stop();
    }
    for (const Sequence& seq : sequences()) {
        SCOPED_TRACE(seq.name);
        sim::SimOptions options = ServiceRig::strictFast();
        options.nakCommand = seq.nak;

        const std::string directDir = root + "/direct", serviceDir = root + "/service";
        std::system(("rm -rf '" + directDir + "' '" + serviceDir + "'").c_str());
        ::mkdir(directDir.c_str(), 0700);
        ::mkdir(serviceDir.c_str(), 0700);

        sim::SimServer unit(options);
        ASSERT_TRUE(unit.start());
        const SequenceRun direct = runSequence(seq, unit, unit.devicePath(), directDir, nullptr);
        unit.stop();

        ServiceRig rig;
        ASSERT_TRUE(rig.start(options));
        const SequenceRun through = runSequence(seq, *rig.sim, "unix:" + rig.socketPath(), serviceDir, &rig);
        rig.stopService();

        std::size_t at = 0;
        for (const Step& step : seq.steps) {
            if (!step.console.empty())
                continue;
            SCOPED_TRACE(label(step));
            const CliRun& a = direct.steps[at];
            const CliRun& b = through.steps[at];
            ++at;
            EXPECT_EQ(a.status, b.status) << "direct: " << a.out << a.err << "service: " << b.out << b.err;
            EXPECT_EQ(a.out, b.out);
            EXPECT_EQ(a.err, b.err);
            if (!step.expect.empty())
                EXPECT_NE(a.out.find(step.expect), std::string::npos) << a.out;
        }
        EXPECT_EQ(direct.files, through.files);
        EXPECT_EQ(direct.unit.sysStatus, through.unit.sysStatus);
        EXPECT_EQ(direct.unit.zone2Status, through.unit.zone2Status);
        EXPECT_EQ(direct.unit.paramValues, through.unit.paramValues);
        EXPECT_EQ(direct.unit.inputNames, through.unit.inputNames);
        EXPECT_EQ(direct.unit.customName, through.unit.customName);
        EXPECT_EQ(direct.unit.asleep, through.unit.asleep);
    }
    std::system(("rm -rf '" + root + "'").c_str());
}

} // namespace
} // namespace bm::test
