// brennmark-cli as a scripter uses it: a usage error never touches the line,
// every value is checked before anything is sent, a value not read from the
// unit is never printed, a read-back that differs fails, names go in the
// unit's character set, and the scripter's forms (BRENNMARK_PORT, relative
// changes, power, effect by name, ir, --json errors).
#include "cli_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace bm::test {
namespace {

using Lines = std::vector<std::string>;

// A TCP port that accepts and counts every connection, then closes it.
class ConnectionRecorder {
public:
    ConnectionRecorder()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    const int connection = ::accept(fd_, nullptr, nullptr);
                    if (connection >= 0) {
                        ++count_;
                        ::close(connection);
                    }
                }
            }
        });
    }
    ~ConnectionRecorder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(fd_);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int count() const { return count_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};

TEST_F(CliTest, UsageErrorsNeverOpenThePort)
{
    ConnectionRecorder port;
    const std::string url = port.url();
    struct Case {
        Lines args;
        int status;
    };
    const Case cases[] = {
        {{"set", "volume"}, 2},
        {{"set", "nosuch", "1"}, 2},
        {{"status", "extra"}, 2},
        {{"set", "volume", "abc"}, 2},
        {{"set", "volume", "-25", "bass", "99"}, 2},
        {{"set", "bass", "+=0.2"}, 2},
        {{"set", "input-name-1", "a\nb"}, 2},
        {{"get"}, 2},
        {{"ir", "NO_SUCH_KEY"}, 2},
        {{"watch", "--seconds=x"}, 2},
        {{"status", "--force"}, 2},
        {{"--bogus", "status"}, 2},
        {{"--port"}, 2},
        {{"set", "custom-name", "-h"}, 0}, // help, as an option
        {{"status", "--version"}, 0},
        {{"-vqV", "status"}, 0}, // grouped flags; -V is the version, -v verbose
        {{"--json=1", "status"}, 2}, // a switch takes no value
        {{"--simulate", "status"}, 2}, // --port and --simulate exclude each other
        {{"--model", "za2", "status"}, 2}, // a model is the simulated unit's
        {{"--wait", "86401", "status"}, 2},
        {{"--wait=-1", "status"}, 2},
        {{"--wait", "1", "--wait", "soon", "status"}, 2}, // the last one given counts
        {{"--capture-redact", "status"}, 2}, // only with --capture FILE
        {{"status", "--seconds", "1"}, 2}, // watch's option, not status's
        {{"status", "--", "--bogus"}, 2}, // after "--" a word, and status takes none
    };
    for (const Case& c : cases) {
        Lines args = c.args;
        if (args != Lines{"--port"})
            args.insert(args.begin(), {"--port", url});
        const CliResult r = cli(args, false);
        EXPECT_EQ(r.status, c.status) << args[2] << " " << r.err;
    }
    EXPECT_EQ(port.count(), 0);
    // The same port is opened by a command that is well formed (and finds no unit there).
    // (The detection may open it more than once.)
    EXPECT_EQ(cli({"--port=" + url, "get", "volume"}, false).status, 3);
    const int opened = port.count();
    EXPECT_GE(opened, 1);
    // BRENNMARK_PORT when --port is not given.
    EXPECT_EQ(cli({"get", "volume"}, false, {"BRENNMARK_PORT=" + url}).status, 3);
    EXPECT_GT(port.count(), opened);
}

TEST_F(CliTest, EveryValueIsCheckedBeforeAnythingIsSent)
{
    startUnit();
    const std::uint8_t volume = paramValue("VOLUME");
    const Lines cases[] = {
        {"set", "volume", "-25", "bass", "99"},
        {"set", "volume", "+=2", "bass", "+=7"},       // bass leaves its range from where it is
        {"set", "volume", "-25", "input", "No Such"},  // not one of the unit's input names
        {"set", "volume", "-25", "effect", "Stadium Rock"},
    };
    for (const Lines& args : cases) {
        sim->clearReceived();
        const CliResult r = cli(args);
        EXPECT_EQ(r.status, 2) << args[4];
        EXPECT_FALSE(received(DC_CMD_SET_SYS_VOLUME)) << args[4];
        EXPECT_FALSE(received(DC_CMD_IR)) << args[4];
        EXPECT_EQ(paramValue("VOLUME"), volume);
    }
    // Under --json the error is one object on standard output.
    const CliResult json = cli({"--json", "set", "volume", "-25", "bass", "99"});
    EXPECT_EQ(json.status, 2);
    const nlohmann::json error = parseObject(json.out);
    EXPECT_EQ(error.value("exit", 0), 2);
    EXPECT_NE(error.value("error", "").find("bass"), std::string::npos) << json.out;
}

TEST_F(CliTest, ReadBackThatDiffersFails)
{
    startUnit();
    ASSERT_TRUE(sim->command("sleep"));
    const CliResult r = cli({"set", "input", "CD"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the unit reports input none after being asked for CD"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(CliTest, CutShortOperationsSayWhatHappened)
{
    // A tone ramp whose first key the unit refuses says how far it got.
    sim::SimOptions refusing;
    refusing.nakCommand = DC_CMD_IR;
    startUnit(refusing);
    const CliResult ramp = cli({"set", "bass", "+3.0"});
    EXPECT_EQ(ramp.status, 2);
    EXPECT_NE(ramp.err.find("bass got from +0.0 to +0.0 of +3.0"), std::string::npos) << ramp.err;
    EXPECT_EQ(ramp.out, "");
    // The panel's retry dialog stays in the panel: the message says what happened.
    EXPECT_EQ(ramp.err.find("Press OK"), std::string::npos) << ramp.err;
    EXPECT_NE(ramp.err.find("the unit refused the request (DC_NAK)"), std::string::npos) << ramp.err;
    sim.reset();

    // A line lost while params reads the unit says so.
    sim::SimOptions dropping;
    dropping.dropAfterPackets = 40;
    startUnit(dropping);
    const CliResult params = cli({"params"});
    EXPECT_EQ(params.status, 2);
    EXPECT_NE(params.err.find("the line was lost"), std::string::npos) << params.err;
}

TEST_F(CliTest, ValuesNotReadInThisRunAreNeverPrinted)
{
    sim::SimOptions options;
    options.nakCommand = DC_CMD_GET_INPUT_NAME;
    startUnit(options);
    const CliResult volume = cli({"get", "volume"});
    EXPECT_EQ(volume.status, 0) << volume.err;
    for (const Lines& args : {Lines{"status"}, Lines{"get", "input-name-2"}, Lines{"--json", "status"}}) {
        const CliResult r = cli(args);
        EXPECT_EQ(r.status, 2) << args[0];
        const std::string said = args[0] == "--json" ? r.out : r.err;
        EXPECT_NE(said.find("input name was not read from the unit"), std::string::npos) << said;
        if (args[0] != "--json")
            EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliTest, NamesInTheUnitsCharacterSet)
{
    startUnit();
    const CliResult cafe = cli({"set", "custom-name", "Caf\xC3\xA9", "input-name-1", "\xC3\xA9t\xC3\xA9 \xC3\xA0 TV"});
    ASSERT_EQ(cafe.status, 0) << cafe.err;
    EXPECT_EQ(cafe.outLines(), (Lines{"custom-name Caf\xC3\xA9", "input-name-1 \xC3\xA9t\xC3\xA9 \xC3\xA0 TV"}));
    EXPECT_EQ(sim->snapshot().customName, "Caf\xE9");
    EXPECT_EQ(sim->snapshot().inputNames[0], "\xE9t\xE9 \xE0 TV");
    EXPECT_EQ(parseObject(cli({"--json", "get", "custom-name"}).out).value("custom-name", ""), "Caf\xC3\xA9");
    // The unit's own name selects its input.
    const CliResult byName = cli({"set", "input", "\xC3\xA9t\xC3\xA9 \xC3\xA0 TV"});
    EXPECT_EQ(byName.outLines(), Lines{"input Tape"}) << byName.err;

    for (const char* bad : {"\xE2\x82\xAC uro", "a\nb", "NINE\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3"}) {
        sim->clearReceived();
        const CliResult r = cli({"set", "input-name-2", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_FALSE(received(DC_CMD_SET_INPUT_NAME)) << bad;
    }
    // A unit's text with a control character is shown escaped.
    ASSERT_TRUE(sim->command("name custom \"\x1B[2JX\""));
    const CliResult text = cli({"get", "custom-name"});
    EXPECT_EQ(text.outLines(), Lines{"custom-name \\e[2JX"});
}

TEST_F(CliTest, ScriptersForms)
{
    startUnit();
    const std::string port = folder.file("unit");
    // BRENNMARK_PORT, a relative change, the bare value.
    const CliResult relative = cli({"set", "volume", "+=2", "bass", "-=0.5"}, false, {"BRENNMARK_PORT=" + port});
    ASSERT_EQ(relative.status, 0) << relative.err;
    EXPECT_EQ(relative.outLines(), (Lines{"volume -33", "bass -0.5"}));
    EXPECT_EQ(paramValue("BASS"), 11);
    EXPECT_EQ(cli({"get", "--value", "volume"}).outLines(), Lines{"-33"});
    EXPECT_EQ(cli({"--json", "get", "--value", "bass"}).out, "-0.5\n");

    // The effect by the unit's name, through its effect key.
    sim->clearReceived();
    const CliResult effect = cli({"set", "effect", "THX Cinema"});
    EXPECT_EQ(effect.outLines(), Lines{"effect THX Cinema"}) << effect.err;
    EXPECT_TRUE(received(DC_CMD_IR));

    // Power, and a key by its name with the unit's report.
    EXPECT_EQ(cli({"set", "power", "standby"}).outLines(), Lines{"power standby"});
    EXPECT_TRUE(sim->snapshot().asleep);
    EXPECT_EQ(cli({"set", "power", "on"}).outLines(), Lines{"power on"});
    const CliResult key = cli({"ir", "INPUT_TUNER"});
    EXPECT_EQ(key.status, 0) << key.err;
    EXPECT_NE(key.out.find("INPUT_TUNER: input DVD -> Tuner"), std::string::npos) << key.out;

    // The controls table, as JSON.
    const nlohmann::json table = parseObject(cli({"--json", "controls"}, false).out);
    bool tilt = false;
    for (const nlohmann::json& row : table.value("controls", nlohmann::json::array()))
        if (row.value("name", "") == "tilt") {
            tilt = true;
            EXPECT_EQ(row.value("minimum", 0.0), -3.0);
            EXPECT_EQ(row.value("maximum", 0.0), 3.0);
            EXPECT_EQ(row.value("alias", ""), "TILT");
        }
    EXPECT_TRUE(tilt);
}

} // namespace
} // namespace bm::test
