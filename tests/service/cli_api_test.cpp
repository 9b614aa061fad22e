// brennmark-cli's get, set and status through brennmarkd's JSON API against
// the same commands over the service's frame-level line (the link session
// they had before, chosen here with --trace): the same standard output, the
// same messages and the same exit status, case by case.
#include "tests/service/cli_run.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bm::test {
namespace {

// The unit's state each case starts from, set through the API.
void setUnit(ServiceRig& rig, const std::string& values)
{
    RawClient c(rig.socketPath());
    c.send(R"({"op":"set","values":)" + values + "}\n");
    ASSERT_TRUE(c.line(10000).has_value());
}

TEST(CliThroughServiceApi, AnswersAsTheCommandsOwnLinkSessionDoes)
{
    char dir[] = "/tmp/bm-cli-config-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    ::setenv("XDG_CONFIG_HOME", dir, 1); // the command line's own settings, apart from the user's
    quickCliSettings();
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    const std::string port = "unix:" + rig.socketPath();
    char tracePath[] = "/tmp/bm-cli-trace-XXXXXX";
    ::close(::mkstemp(tracePath));
    // A link session of its own first: it fills the command line's definition
    // cache, which both ways then check names against.
    ASSERT_EQ(runCli({"--port", port, "--trace", tracePath, "get", "volume"}).status, 0);

    struct Case {
        std::string start; // the unit's values first ("" to leave them)
        std::vector<std::string> args;
        int status;
    };
    const std::string base = R"({"volume":-40,"mute":false,"bass":0.5})";
    const std::vector<Case> cases = {
        {base, {"get", "volume"}, 0},
        {base, {"get", "--value", "volume"}, 0},
        {base, {"get", "VOLUME", "bass", "input", "volume"}, 0}, // an alias, a name twice
        {base, {"--json", "get", "volume", "bass", "mute", "front-speakers"}, 0},
        {base, {"--json", "get", "--value", "custom-name"}, 0},
        {base, {"get", "SUB_LOWPASS"}, 0}, // a parameter by its definition name
        {base, {"set", "volume", "-30"}, 0},
        {base, {"set", "volume", "-40"}, 0}, // the value it has: nothing sent
        {base, {"set", "volume", "+=3", "mute", "on"}, 0},
        {base, {"--json", "set", "volume", "-=2", "balance", "2"}, 0},
        {base, {"set", "volume", "-30", "volume", "-31"}, 0}, // in order, each read back
        {base, {"set", "out-center", "-1.5"}, 0},
        {base, {"set", "volume", "+=60"}, 2},  // leaves the range: refused before anything is sent
        {base, {"--json", "set", "volume", "+=60"}, 2},
        {base, {"set", "volume", "13"}, 2},    // the command line's own check
        {base, {"set", "product", "ZA-2"}, 2}, // read only
        {base, {"get", "NO_SUCH"}, 2},
        {base, {"--json", "set", "volume", "-20", "NO_SUCH", "1"}, 2},
        {base, {"get"}, 2},
        {R"({"input":"DVD"})", {"ir", "INPUT_CD", "INPUT_CD"}, 0}, // the second changes nothing
        {R"({"input":"DVD"})", {"--json", "ir", "INPUT_TAPE"}, 0},
        {base, {"ir", "NO_SUCH_KEY"}, 2}, // refused before anything is sent
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& a : c.args)
            label += a + " ";
        SCOPED_TRACE(label);
        if (!c.start.empty())
            setUnit(rig, c.start);
        std::vector<std::string> api = {"--port", port};
        api.insert(api.end(), c.args.begin(), c.args.end());
        const CliRun viaApi = runCli(api);
        if (!c.start.empty())
            setUnit(rig, c.start);
        std::vector<std::string> link = {"--port", port, "--trace", tracePath};
        link.insert(link.end(), c.args.begin(), c.args.end());
        const CliRun viaLink = runCli(link);
        EXPECT_EQ(viaApi.status, c.status) << viaApi.out << viaApi.err;
        EXPECT_EQ(viaApi.status, viaLink.status);
        if (std::find(c.args.begin(), c.args.end(), "ir") != c.args.end()) {
            // The front panel's lines apart: a link session of its own need
            // not have read the display before the key; the service has, and
            // lists the key's change of it too.
            if (c.status == 0)
                EXPECT_NE(viaApi.out.find("display-1"), std::string::npos) << viaApi.out;
            EXPECT_EQ(withoutDisplay(viaApi.out), withoutDisplay(viaLink.out));
        } else {
            EXPECT_EQ(viaApi.out, viaLink.out);
        }
        EXPECT_EQ(viaApi.err, viaLink.err);
    }

    // status: every control of the table as a link session's get gives it,
    // and the front panel as the unit shows it now (its last display event).
    {
        RawClient watcher(rig.socketPath());
        watcher.send(std::string(R"({"op":"subscribe"})") + "\n");
        ASSERT_TRUE(watcher.line(5000).has_value());
        setUnit(rig, R"({"volume":-44})");
        std::string line1, line2;
        while (line1.find("VOL -44dB") == std::string::npos) {
            const auto line = watcher.line(5000);
            ASSERT_TRUE(line.has_value()) << "no display event with the new volume";
            const auto e = nlohmann::json::parse(*line, nullptr, false);
            if (e.value("event", "") == "display") {
                line1 = e.value("line1", "");
                line2 = e.value("line2", "");
            }
        }
        std::vector<std::string> get = {"--port", port, "--trace", tracePath, "get"};
        for (const char* name : {"product", "rom", "power", "volume", "balance", "front-back", "mute", "input", "effect",
                                 "stream", "bass", "treble", "tilt", "loudness", "zone2", "zone2-volume",
                                 "zone2-balance", "zone2-mute", "record-input", "out-center", "out-sub",
                                 "out-front-l", "out-front-r", "out-side-l", "out-side-r", "out-rear-l", "out-rear-r",
                                 "front-speakers", "center-speaker", "side-speakers", "side-type", "rear-speakers",
                                 "subwoofer", "custom-name", "input-name-1", "input-name-2", "input-name-3",
                                 "input-name-4", "input-name-5", "input-name-6", "input-name-7", "input-name-8"})
            get.push_back(name);
        const CliRun viaLink = runCli(get);
        ASSERT_EQ(viaLink.status, 0) << viaLink.err;
        std::string expected;
        for (std::size_t at = 0; at < viaLink.out.size();) {
            const std::size_t end = viaLink.out.find('\n', at);
            const std::string l = viaLink.out.substr(at, end - at);
            const std::size_t blank = l.find(' ');
            expected += l.substr(0, blank) + ":" + l.substr(blank) + "\n";
            at = end + 1;
        }
        expected += "display-1: " + line1 + "\ndisplay-2: " + line2 + "\n";
        const CliRun viaApi = runCli({"--port", port, "status"});
        EXPECT_EQ(viaApi.status, 0) << viaApi.err;
        EXPECT_EQ(viaApi.out, expected);
        const CliRun json = runCli({"--port", port, "--json", "status"});
        const auto parsed = nlohmann::json::parse(json.out, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << json.out;
        EXPECT_EQ(parsed.size(), 44u);
        EXPECT_EQ(parsed.value("volume", 0), -44);
        EXPECT_EQ(parsed.value("display-1", ""), line1);
    }

    // No unit behind the service: no unit found either way (status 3).
    rig.sim->stop();
    for (int i = 0; i < 500 && rig.service->unit().lineState() != LineState::Lost &&
                    rig.service->unit().lineState() != LineState::Reconnecting;
         ++i)
        ::usleep(10000);
    const CliRun viaApi = runCli({"--port", port, "get", "volume"});
    const CliRun viaLink = runCli({"--port", port, "--trace", tracePath, "get", "volume"});
    EXPECT_EQ(viaApi.status, 3) << viaApi.err;
    EXPECT_EQ(viaLink.status, 3) << viaLink.out << viaLink.err;
    EXPECT_EQ(viaApi.err, viaLink.err);
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
    ::unlink(tracePath);
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

} // namespace
} // namespace bm::test
