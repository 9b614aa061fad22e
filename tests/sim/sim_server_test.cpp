// The simulated unit over a real pseudo-terminal, reached the way the program
// reaches a processor (TermiosSerialPort): answers, wire timing, faults, the
// console, the link path, and the ridaziv-sim program itself.
#include "tests/support/memory_settings.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bm::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::hostPacket;
using test::Parsed;

// The program's side of the line, reduced to what these tests need.
class Host {
public:
    explicit Host(const std::string& path) : port_(settings_, path) {}

    bool open() { return port_.open(1); }
    TermiosSerialPort& port() { return port_; }

    void send(const Bytes& packet)
    {
        port_.startWrite(packet.data(), packet.size());
        port_.waitWriteComplete();
    }

    // Reads until a packet with `code` arrives (others are kept in seen()).
    std::optional<Parsed> waitFor(std::uint8_t code, std::chrono::milliseconds limit = 3000ms)
    {
        const auto end = Clock::now() + limit;
        for (;;) {
            for (std::size_t i = 0; i < pending_.size(); ++i) {
                if (pending_[i].code == code) {
                    Parsed p = pending_[i];
                    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
                    return p;
                }
            }
            if (Clock::now() >= end)
                return std::nullopt;
            pump();
        }
    }

    // Everything that arrives within `span`.
    std::vector<Parsed> collect(std::chrono::milliseconds span)
    {
        const auto end = Clock::now() + span;
        while (Clock::now() < end)
            pump();
        std::vector<Parsed> out;
        out.swap(pending_);
        return out;
    }

    std::size_t bytesRead() const { return bytesRead_; }

private:
    void pump()
    {
        std::uint8_t buf[512];
        const std::size_t n = port_.readAvailable(buf, sizeof buf);
        if (n == 0) {
            std::this_thread::sleep_for(5ms);
            return;
        }
        bytesRead_ += n;
        stream_.insert(stream_.end(), buf, buf + n);
        auto packets = test::takePackets(stream_);
        pending_.insert(pending_.end(), packets.begin(), packets.end());
    }

    InMemorySettings settings_;
    TermiosSerialPort port_;
    Bytes stream_;
    std::vector<Parsed> pending_;
    std::size_t bytesRead_ = 0;
};

SimOptions fastOptions()
{
    SimOptions o;
    o.fast = true;
    return o;
}

TEST(SimServer, AnswersAFramedGetConfigOnTheTerminal)
{
    SimServer sim; // wire timing on
    ASSERT_TRUE(sim.start());
    EXPECT_EQ(sim.devicePath(), sim.terminalPath());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());

    const Bytes get = hostPacket(DC_CMD_GET_CONFIG);
    host.send(get);
    const auto config = host.waitFor(DC_RESP_UNIT_CONFIG);
    ASSERT_TRUE(config);
    ASSERT_EQ(config->data.size(), 25u);
    const auto snap = sim.snapshot();
    EXPECT_TRUE(std::equal(config->data.begin(), config->data.end(), snap.unitConfig.begin()));
    EXPECT_EQ(config->data[0], 2);

    ASSERT_EQ(sim.receivedPackets().size(), 1u);
    EXPECT_EQ(sim.receivedPackets()[0], get);
    EXPECT_EQ(sim.bytesFromHost(), 5u);
    EXPECT_EQ(sim.bytesToHost(), 30u);
    sim.clearReceived();
    EXPECT_TRUE(sim.receivedPackets().empty());
}

TEST(SimServer, AnswersTheWholeStatusSweepInOrder)
{
    SimOptions o = fastOptions();
    o.model = Model::ZA2;
    o.firmware = Firmware::B;
    SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());

    host.send(hostPacket(HOST_WAKEUP));
    EXPECT_TRUE(host.waitFor(DC_ACK));
    host.send(hostPacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}));
    EXPECT_TRUE(host.waitFor(DC_RESP_FPD_CTRL_STATUS));
    EXPECT_TRUE(host.waitFor(DC_FPD));
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    EXPECT_TRUE(host.waitFor(DC_RESP_SYS_STATUS));
    host.send(hostPacket(DC_CMD_GET_REC_STATUS));
    EXPECT_TRUE(host.waitFor(DC_RESP_REC_ZONE2_STATUS));
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    const auto config = host.waitFor(DC_RESP_UNIT_CONFIG);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->data[0], 1);
    EXPECT_EQ(config->data[7], 188);
    host.send(hostPacket(DC_CMD_GET_CUST_NAME));
    EXPECT_TRUE(host.waitFor(DC_RESP_CUST_NAME));
    for (std::uint8_t i = 0; i < 8; ++i) {
        host.send(hostPacket(DC_CMD_GET_INPUT_NAME, {i}));
        const auto name = host.waitFor(DC_RESP_INPUT_NAME);
        ASSERT_TRUE(name);
        EXPECT_EQ(name->data.at(0), i);
    }
    host.send(hostPacket(DC_CMD_GET_SYS_PARAM_VALUES));
    const auto values = host.waitFor(DC_RESP_SYS_PARAM_VALUES);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->data, sim.snapshot().paramValues);
    EXPECT_EQ(sim.receivedPackets().size(), 15u);
}

TEST(SimServer, AnswersTakeTheTimeOf19200Baud)
{
    SimServer sim;
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    // 192 values: a 197-byte answer is about 113 ms on the wire.
    const auto before = Clock::now();
    host.send(hostPacket(DC_CMD_GET_SYS_PARAM_VALUES));
    ASSERT_TRUE(host.waitFor(DC_RESP_SYS_PARAM_VALUES));
    EXPECT_GE(Clock::now() - before, 100ms);

    // The host's bytes take their time on the line as well: the unit cannot
    // acknowledge 197 bytes of values before they have all arrived.
    const Bytes values = sim.snapshot().paramValues;
    ASSERT_EQ(values.size(), 192u);
    const auto sent = Clock::now();
    host.send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    ASSERT_TRUE(host.waitFor(DC_ACK));
    EXPECT_GE(Clock::now() - sent, 110ms);
}

// Strict mode counts a request that comes while the answer to the one before
// is still due: waiting out the unit's delay, or still crossing the line.
TEST(SimServer, StrictCountsOnlyRequestsSentBeforeTheAnswerIsComplete)
{
    enum class Second { AfterWholeAnswer, BeforeAnswerStarts, WhileAnswerOnLine };
    const struct {
        const char* name;
        Second when;
        std::uint64_t early;
    } cases[] = {
        {"after the whole answer", Second::AfterWholeAnswer, 0},
        {"before the answer starts", Second::BeforeAnswerStarts, 1},
        {"while the answer is on the line", Second::WhileAnswerOnLine, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions o; // wire timing: the 197-byte answer takes about 113 ms
        o.strict = true;
        SimServer sim(o);
        ASSERT_TRUE(sim.start());
        Host host(sim.devicePath());
        ASSERT_TRUE(host.open());
        host.send(hostPacket(DC_CMD_GET_SYS_PARAM_VALUES));
        if (c.when == Second::AfterWholeAnswer) {
            ASSERT_TRUE(host.waitFor(DC_RESP_SYS_PARAM_VALUES));
        } else if (c.when == Second::WhileAnswerOnLine) {
            const auto end = Clock::now() + 2s;
            while (host.bytesRead() == 0 && Clock::now() < end)
                host.collect(1ms);
            ASSERT_GT(host.bytesRead(), 0u);
        }
        host.send(hostPacket(DC_CMD_GET_CONFIG));
        ASSERT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
        EXPECT_EQ(sim.strictViolations(), c.early);
    }
}

TEST(SimServer, ParameterWriteEndsInAWakeupAfterThePause)
{
    SimServer sim(fastOptions());
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());

    Bytes values = sim.snapshot().paramValues;
    values[3] = 50; // VOLUME on firmware A
    const auto before = Clock::now();
    host.send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    const auto ack = host.waitFor(DC_ACK);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->data, (Bytes{DC_CMD_SET_SYS_PARAM_VALUES}));
    ASSERT_TRUE(host.waitFor(DC_WAKEUP));
    EXPECT_GE(Clock::now() - before, 250ms);
    EXPECT_EQ(sim.snapshot().paramValues, values);

    sim.setNoWakeupAfterParamWrite(true);
    host.send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    ASSERT_TRUE(host.waitFor(DC_ACK));
    EXPECT_FALSE(host.waitFor(DC_WAKEUP, 800ms));
}

TEST(SimServer, SilentUnitReadsEverythingAndAnswersNothing)
{
    SimOptions o = fastOptions();
    o.silent = true;
    SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    host.send(hostPacket(HOST_WAKEUP));
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    EXPECT_TRUE(host.collect(400ms).empty());
    EXPECT_EQ(sim.receivedPackets().size(), 2u);
    EXPECT_EQ(sim.bytesToHost(), 0u);

    sim.setSilent(false);
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
}

TEST(SimServer, NakFaultRefusesTheChosenCommand)
{
    SimOptions o = fastOptions();
    o.nakCommand = DC_CMD_GET_SYS_STATUS;
    SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    const auto nak = host.waitFor(DC_NAK);
    ASSERT_TRUE(nak);
    EXPECT_EQ(nak->data, (Bytes{DC_CMD_GET_SYS_STATUS, DC_INVALID_DATA}));
    sim.setNakCommand(-1);
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    EXPECT_TRUE(host.waitFor(DC_RESP_SYS_STATUS));
}

// Waking from sleep: the unit reads what the host sends meanwhile and answers
// none of it; DC_WAKEUP says it is ready, and it answers from then on.
TEST(SimServer, WakingUnitAnswersNothingUntilItsWakeup)
{
    struct Case {
        const char* name;
        int busyMs;
        bool fromHost;     // woken by the host's ON key, else from the console
        const char* ready; // console line that ends a wake that never ends
    };
    const Case cases[] = {
        {"at once", 0, true, nullptr},
        {"busy, host key", 400, true, nullptr},
        {"busy, console", 400, false, nullptr},
        {"never, until ready", -1, true, "ready"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimServer sim(fastOptions());
        ASSERT_TRUE(sim.start());
        Host host(sim.devicePath());
        ASSERT_TRUE(host.open());
        std::string error;
        ASSERT_TRUE(sim.command("sleep", &error)) << error;
        ASSERT_TRUE(host.waitFor(DC_SLEEP));
        sim.setWakeBusy(c.busyMs);

        const auto before = Clock::now();
        if (c.fromHost) {
            host.send(hostPacket(DC_CMD_IR, {IR_ON}));
            ASSERT_TRUE(host.waitFor(DC_ACK));
        } else {
            ASSERT_TRUE(sim.command("wake", &error)) << error;
        }
        EXPECT_EQ(sim.snapshot().waking, c.busyMs != 0);
        host.send(hostPacket(DC_CMD_GET_CONFIG));
        if (c.ready) {
            // Read, and still unanswered once the request has been taken in.
            const auto end = Clock::now() + 3s;
            while (sim.receivedPackets().back() != hostPacket(DC_CMD_GET_CONFIG) && Clock::now() < end)
                std::this_thread::sleep_for(5ms);
            ASSERT_TRUE(sim.snapshot().waking);
            ASSERT_TRUE(sim.command(c.ready, &error)) << error;
        }
        ASSERT_TRUE(host.waitFor(DC_WAKEUP));
        if (c.busyMs > 0) {
            EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(c.busyMs));
        }
        EXPECT_FALSE(sim.snapshot().waking);
        // The request sent while waking was never answered; one sent now is.
        if (c.busyMs == 0) {
            EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
        } else {
            EXPECT_FALSE(host.waitFor(DC_RESP_UNIT_CONFIG, 0ms));
        }
        host.send(hostPacket(DC_CMD_GET_CONFIG));
        EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
    }
}

TEST(SimServer, NoisyAndSplitPacketsStillFrame)
{
    SimOptions o; // real timing, so the halves arrive in separate reads
    o.noise = true;
    o.splitPackets = true;
    SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    for (std::uint8_t i = 0; i < 3; ++i) {
        host.send(hostPacket(DC_CMD_GET_INPUT_NAME, {i}));
        const auto name = host.waitFor(DC_RESP_INPUT_NAME);
        ASSERT_TRUE(name);
        EXPECT_EQ(name->data.at(0), i);
    }
    // Each answer is 15 bytes; the rest is noise.
    EXPECT_GT(host.bytesRead(), 45u);
    EXPECT_EQ(sim.bytesToHost(), host.bytesRead());
}

TEST(SimServer, DropAfterHangsUpTheLineAndTheHostReadsSilence)
{
    SimOptions o = fastOptions();
    o.dropAfterPackets = 2;
    SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    const auto end = Clock::now() + 2s;
    std::uint8_t buf[64];
    while (!host.port().lineDead() && Clock::now() < end) {
        EXPECT_EQ(host.port().readAvailable(buf, sizeof buf), 0u);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(host.port().lineDead());
    EXPECT_FALSE(sim.serving());
    host.send(hostPacket(DC_CMD_GET_CONFIG)); // goes nowhere, returns
    host.port().close();
}

TEST(SimServer, DropSetWhileRunningAnswersTheGivenCountThenHangsUp)
{
    SimServer sim(fastOptions());
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    ASSERT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));

    sim.setDropAfterPackets(1); // one more answered, the next one hangs up
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
    EXPECT_TRUE(sim.serving());
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    const auto end = Clock::now() + 2s;
    std::uint8_t buf[64];
    while (!host.port().lineDead() && Clock::now() < end) {
        EXPECT_EQ(host.port().readAvailable(buf, sizeof buf), 0u) << "the last packet is not answered";
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(host.port().lineDead());
    EXPECT_FALSE(sim.serving());
    host.port().close();
}

TEST(SimServer, ConsoleLinesReachTheHostAsTheUnitWouldSendThem)
{
    SimServer sim(fastOptions());
    ASSERT_TRUE(sim.start());
    Host host(sim.devicePath());
    ASSERT_TRUE(host.open());

    std::string error;
    ASSERT_TRUE(sim.command("set VOLUME 61", &error)) << error;
    const auto change = host.waitFor(DC_PARAM_CHG_MSG);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->data, (Bytes{3, 61}));
    EXPECT_EQ(sim.snapshot().sysStatus[0], 61);

    ASSERT_TRUE(sim.command("ir OFF", &error)) << error;
    EXPECT_TRUE(host.waitFor(DC_SLEEP));
    EXPECT_TRUE(sim.snapshot().asleep);
    ASSERT_TRUE(sim.command("wake", &error)) << error;
    EXPECT_TRUE(host.waitFor(DC_WAKEUP));

    EXPECT_FALSE(sim.command("frobnicate", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(SimServer::consoleHelp().find("set NAME VALUE"), std::string::npos);
}

TEST(SimServer, LinkPathPointsAtTheTerminalUntilStopped)
{
    const std::string link = "/tmp/bm-sim-test-link-" + std::to_string(::getpid());
    ::symlink("/nonexistent", link.c_str()); // stale link from an earlier run
    SimOptions o = fastOptions();
    o.linkPath = link;
    {
        SimServer sim(o);
        ASSERT_TRUE(sim.start());
        EXPECT_EQ(sim.devicePath(), link);
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.terminalPath(), target);

        Host host(link);
        ASSERT_TRUE(host.open());
        host.send(hostPacket(DC_CMD_GET_CONFIG));
        EXPECT_TRUE(host.waitFor(DC_RESP_UNIT_CONFIG));
        Host second(link);
        EXPECT_FALSE(second.open()) << "the line is held";
        sim.stop();
        struct stat st {};
        EXPECT_NE(::lstat(link.c_str(), &st), 0) << "stop removes the link";
    }
}

// ------------------------------------------------------------------ the program

#ifdef BM_RIDAZIV_SIM_PATH

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        args.insert(args.begin(), BM_RIDAZIV_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, BM_RIDAZIV_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_})
            if (fd >= 0)
                ::close(fd);
    }
    bool running() const { return pid_ > 0; }

    // Reads `fd` until it holds `wanted` or the time is up.
    static std::string readUntil(int fd, const std::string& wanted, std::chrono::milliseconds limit)
    {
        std::string text;
        const auto end = Clock::now() + limit;
        while (text.find(wanted) == std::string::npos && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }
    std::string readStdout(const std::string& wanted) { return readUntil(stdout_, wanted, 5s); }
    std::string readStderr(const std::string& wanted) { return readUntil(stderr_, wanted, 5s); }
    void type(const std::string& text) { [[maybe_unused]] auto n = ::write(stdin_, text.data(), text.size()); }
    void closeStdin()
    {
        ::close(stdin_);
        stdin_ = -1;
    }
    // Sends `sig` and waits for the exit status (-1 when it did not end).
    int stopWith(int sig)
    {
        ::kill(pid_, sig);
        return waitExit();
    }
    int waitExit()
    {
        const auto end = Clock::now() + 10s;
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
};

TEST(RidazivSim, ServesOnItsLinkTakesConsoleLinesAndCleansUpOnSigterm)
{
    const std::string link = "/tmp/bm-ridaziv-sim-test-" + std::to_string(::getpid());
    SimProcess sim({"--link", link, "--fast"});
    ASSERT_TRUE(sim.running());
    const std::string first = sim.readStdout("\n");
    ASSERT_FALSE(first.empty());
    const std::string device = first.substr(0, first.find('\n'));
    EXPECT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(device, target);

    Host host(link);
    ASSERT_TRUE(host.open());
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    const auto config = host.waitFor(DC_RESP_UNIT_CONFIG);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->data.size(), 25u);

    sim.type("set VOLUME 61\n");
    const auto change = host.waitFor(DC_PARAM_CHG_MSG);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->data.at(1), 61);

    sim.type("no such command\n");
    EXPECT_NE(sim.readStderr("\n").find("error"), std::string::npos);
    sim.type("help\n");
    EXPECT_NE(sim.readStdout("help").find("set NAME VALUE"), std::string::npos);

    // End of input is not the end of the unit, and a last line without its
    // newline still acts.
    sim.type("set VOLUME 62");
    sim.closeStdin();
    const auto last = host.waitFor(DC_PARAM_CHG_MSG);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->data.at(1), 62);
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    EXPECT_TRUE(host.waitFor(DC_RESP_SYS_STATUS));

    EXPECT_EQ(sim.stopWith(SIGTERM), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link is removed on exit";
}

TEST(RidazivSim, ModelFirmwareAndFaultOptionsApply)
{
    SimProcess sim({"--model", "za2", "--firmware", "B", "--fast", "--nak", "0x16"});
    ASSERT_TRUE(sim.running());
    const std::string first = sim.readStdout("\n");
    const std::string device = first.substr(0, first.find('\n'));
    Host host(device);
    ASSERT_TRUE(host.open());
    host.send(hostPacket(DC_CMD_GET_CONFIG));
    const auto config = host.waitFor(DC_RESP_UNIT_CONFIG);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->data.at(0), 1);
    EXPECT_EQ(config->data.at(7), 188);
    host.send(hostPacket(DC_CMD_GET_SYS_STATUS));
    const auto nak = host.waitFor(DC_NAK);
    ASSERT_TRUE(nak);
    EXPECT_EQ(nak->data.at(0), DC_CMD_GET_SYS_STATUS);
    EXPECT_EQ(sim.stopWith(SIGINT), 0);
}

TEST(RidazivSim, HelpListsTheOptionsAndBadOptionsFail)
{
    SimProcess help({"--help"});
    ASSERT_TRUE(help.running());
    const std::string text = help.readStdout("--drop-after");
    for (const char* option : {"--link", "--model", "--firmware", "--fast", "--silent", "--nak", "--noise",
                               "--split", "--no-wakeup", "--drop-after", "--wake-busy"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    EXPECT_EQ(help.waitExit(), 0);

    SimProcess bad({"--model", "xyz"});
    ASSERT_TRUE(bad.running());
    EXPECT_EQ(bad.waitExit(), 2);
}

#endif

} // namespace
} // namespace bm::sim
