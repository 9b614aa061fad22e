// The real panel (brennmark, offscreen) started through the service while a
// brennmark-cli watch runs: it comes up on the service's line without the
// unit hearing one definition request (the service answers them from what it
// holds), and a change a brennmark-cli set makes reaches both the watch and
// the panel. Every wait is for something the processes show (the panel's
// trace, the watch's output), each with its bound.
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "tests/service/service_rig.h"
#include "tests/support/fast_timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bm::test {
namespace {

using namespace std::chrono_literals;

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t spawnTo(std::vector<std::string> args, const std::string& outFile, std::vector<std::string> env = {})
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e); // the ones given first win
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int exitOf(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Polls `done` until it holds or `limit` has passed; the final test of `done`.
bool within(std::chrono::milliseconds limit, const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    return done();
}

int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

// Reports of parameter `id` with `value` the panel read: in its trace, a
// "READ RING PACKET  CMD=04 ..." line and its bytes on the next.
int reportsRead(const std::string& trace, int id, int value)
{
    char wanted[40];
    std::snprintf(wanted, sizeof wanted, "f1 05 04 02 %02x %02x f2", id, value);
    int n = 0;
    for (std::size_t at = 0; (at = trace.find("READ RING PACKET  CMD=04", at)) != std::string::npos; ++at) {
        const std::size_t dump = trace.find('\n', at);
        const std::size_t end = dump == std::string::npos ? dump : trace.find('\n', dump + 1);
        const std::size_t hex = dump == std::string::npos ? dump : trace.find(wanted, dump);
        n += hex != std::string::npos && hex < end;
    }
    return n;
}

// Lines of the panel's trace that write `command` ("(DC_CMD_SET_FPD_CTRL)").
int writesOf(const std::string& trace, const std::string& command)
{
    int n = 0;
    for (std::size_t at = 0; (at = trace.find("WRITE:", at)) != std::string::npos; ++at) {
        const std::size_t end = trace.find('\n', at);
        const std::size_t hit = trace.find(command, at);
        n += hit != std::string::npos && hit < end;
    }
    return n;
}

std::size_t definitionRequests(const sim::SimServer& unit)
{
    std::size_t n = 0;
    for (const Bytes& p : unit.receivedPackets())
        n += p.size() > 2 && (p[2] == DC_CMD_GET_SYS_PARAM_BY_ID || p[2] == DC_CMD_GET_EFFECT);
    return n;
}

TEST(PanelThroughService, ComesUpWithoutADownloadAndSeesAChangeTheCommandLineMakesAsTheWatchDoes)
{
    char dir[] = "/tmp/bm-panel-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string home = dir;
    // The command line's settings and the panel's, each its own (the panel's
    // definition cache starts empty), apart from the user's.
    ::setenv("XDG_CONFIG_HOME", (home + "/cli").c_str(), 1);
    const std::string panelHome = home + "/panel";
    {
        QSettingsStore store(QString::fromStdString(panelHome + "/Tollvane/Brennmark.conf"));
        storeFastTiming(store);
        store.writeInt(keys::kComm, keys::kCommPort, 0);
        store.writeInt(keys::kComm, keys::kDontShow, 1);
    }
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    const std::string port = "unix:" + rig.socketPath();

    const std::string watchOut = home + "/watch.txt";
    const pid_t watch = spawnTo({BM_CLI_PATH, "--port", port, "watch"}, watchOut);
    ASSERT_GT(watch, 0);
    ASSERT_TRUE(within(30s, [&] { return slurp(watchOut).find(" state ") != std::string::npos; }))
        << "the watch never printed the unit's state";

    const std::size_t downloadedBefore = definitionRequests(*rig.sim);
    const std::string trace = home + "/panel-trace.txt";
    const pid_t panel = spawnTo({BM_PANEL_PATH, "--port", port, "--trace", trace}, home + "/panel-out.txt",
                                {"XDG_CONFIG_HOME=" + panelHome, "QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(panel, 0);
    // Connected: after its greeting's, the Info page asks for the front panel
    // itself, once the start-up (definitions, sweep) is over.
    EXPECT_TRUE(within(60s, [&] { return writesOf(slurp(trace), "(DC_CMD_SET_FPD_CTRL)") >= 2; }))
        << "the panel did not come up through the service";
    // Its own cache was empty: it asked for every definition, and the service
    // answered from what it holds.
    EXPECT_GT(count(slurp(trace), "(DC_RESP_SYS_PARAM_DEF)"), 10);
    EXPECT_EQ(definitionRequests(*rig.sim), downloadedBefore);

    // A change by the command line: the watch and the panel both see it.
    const auto names = rig.sim->snapshot().paramNames;
    const int volumeId = static_cast<int>(std::find(names.begin(), names.end(), "VOLUME") - names.begin());
    const std::string setOut = home + "/set.txt";
    const std::string before = slurp(trace);
    const pid_t set = spawnTo({BM_CLI_PATH, "--port", port, "set", "volume", "-27"}, setOut);
    EXPECT_EQ(exitOf(set), 0);
    EXPECT_EQ(slurp(setOut), "volume -27\n");
    const int reportsBefore = reportsRead(before, volumeId, -27 + 80);
    EXPECT_TRUE(within(10s, [&] { return slurp(watchOut).find(" volume ") != std::string::npos &&
                                         slurp(watchOut).find("-> -27") != std::string::npos; }))
        << slurp(watchOut);
    EXPECT_TRUE(within(10s, [&] { return reportsRead(slurp(trace), volumeId, -27 + 80) > reportsBefore; }))
        << "the panel never read the unit's report of the volume";

    ::kill(panel, SIGTERM);
    ::kill(watch, SIGINT);
    EXPECT_EQ(exitOf(panel), 0);
    EXPECT_EQ(exitOf(watch), 0);
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
    std::system(("rm -rf '" + home + "'").c_str());
}

} // namespace
} // namespace bm::test
