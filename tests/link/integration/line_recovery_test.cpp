// Line recovery against the simulated unit over a real pseudo-terminal, with the
// real device model: a line pulled while idle and the unit back at the same
// path, a line pulled during a first-start download, a unit that falls silent
// and comes back with DC_WAKEUP, a refusal cancelled, the trace of a silent
// unit, noise and split packets through the whole sweep, and the same line
// served over TCP, its connection dropped and served again on the same port.
#include "integration_support.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/serial_factory.h"
#include "sim/sim_server.h"
#include "sim/tcp_server.h"
#include "tests/support/program_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Generous: a sanitizer build runs the whole download several times slower.
constexpr auto kSweepLimit = 60s;

using test::bytesOf;
using test::processCpu;

std::size_t countCode(const std::vector<Bytes>& packets, std::uint8_t code)
{
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(),
                                                  [&](const Bytes& p) { return p.size() > 2 && p[2] == code; }));
}

sim::SimOptions fastUnit(const std::string& linkPath = {})
{
    sim::SimOptions o;
    o.fast = true;
    o.linkPath = linkPath;
    return o;
}

using test::TempDir;

// The program's side: a line on `device` (a terminal, or "tcp://HOST:PORT"),
// the real model, and the test back-ends for the owner window (pumped by the
// test, as the UI thread would) and prompts.
struct Program : test::ProgramRig {
    explicit Program(const std::string& device) : line(makeSerialDevice(settings, device)) {}
    ~Program() override
    {
        if (link)
            link->ExitInstance();
        link.reset(); // before the line it reads
    }

    void start(bool reload, std::ostream* trace = nullptr)
    {
        startOn(*line, reload, trace);
        link->EnableLink();
    }

    bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit)
    {
        return test::waitUntil(condition, limit, test::dispatching(owner));
    }
    void pump(std::chrono::milliseconds span) { test::pumpFor(span, test::dispatching(owner)); }
    bool sweepEnds()
    {
        return until([&] { return !link->state().StatusSweepActive && !link->state().ReloadDefinitions; },
                     std::chrono::duration_cast<std::chrono::milliseconds>(kSweepLimit));
    }
    std::vector<LineState> lineChanges() const
    {
        std::vector<LineState> out;
        for (const auto& n : owner.history())
            if (n.message == WM_LINE_STATE)
                out.push_back(static_cast<LineState>(n.first));
        return out;
    }

    std::unique_ptr<SerialDevice> line;
};

bool inOrder(const std::vector<LineState>& seen, std::initializer_list<LineState> wanted)
{
    auto it = seen.begin();
    for (LineState w : wanted) {
        it = std::find(it, seen.end(), w);
        if (it == seen.end())
            return false;
        ++it;
    }
    return true;
}

// A lost line whose unit is back (`unit` has heard nothing since): reconnected,
// greeted, its status asked for first and the whole sweep run again, with
// nobody asked anything.
void expectReadAgainWithoutInput(Program& program, const sim::SimServer& unit)
{
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Connected; }, 10000ms));
    ASSERT_TRUE(program.until([&] { return countCode(unit.receivedPackets(), DC_CMD_GET_SYS_STATUS) >= 1; },
                              5000ms));
    ASSERT_TRUE(program.sweepEnds());
    const auto got = unit.receivedPackets();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[0], bytesOf(framePacket(HOST_WAKEUP)));
    EXPECT_EQ(got[1], bytesOf(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})));
    EXPECT_EQ(got[2], bytesOf(framePacket(DC_CMD_GET_SYS_STATUS)));
    EXPECT_EQ(countCode(got, DC_CMD_GET_SYS_PARAM_VALUES), 1u) << "the whole sweep ran";
    EXPECT_EQ(program.prompt.count(), 0u);
    EXPECT_TRUE(inOrder(program.lineChanges(), {LineState::Lost, LineState::Reconnecting, LineState::Connected}));
}

TEST(LineRecovery, LinePulledWhileIdleAndBackAtTheSamePathIsGreetedAndSweptWithoutInput)
{
    TempDir dir;
    const std::string device = dir.file("ttyRidaziv");
    auto first = std::make_unique<sim::SimServer>(fastUnit(device));
    ASSERT_TRUE(first->start());
    Program program(device);
    program.start(true);
    ASSERT_TRUE(program.link->state().UnitHeard);
    ASSERT_TRUE(program.sweepEnds());
    EXPECT_EQ(program.link->line(), LineState::Connected);

    // The unit goes (the simulator stops: its terminal and the path vanish).
    first.reset();
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Lost; }, 3000ms));
    program.pump(1500ms); // a few reopen attempts at a missing path

    // It comes back at the same path: greeted and read again, nobody asked.
    sim::SimServer second(fastUnit(device));
    ASSERT_TRUE(second.start());
    expectReadAgainWithoutInput(program, second);
}

TEST(LineRecovery, DroppedTcpConnectionIsALostLineReconnectedOnTheSamePort)
{
    sim::SimServer unit(fastUnit());
    ASSERT_TRUE(unit.start());
    auto bridge = std::make_unique<sim::TcpServer>(unit.terminalPath());
    std::string error;
    ASSERT_TRUE(bridge->start("127.0.0.1:0", error)) << error;
    const int port = bridge->port();
    Program program(bridge->url());
    program.start(true);
    ASSERT_TRUE(program.link->state().UnitHeard);
    ASSERT_TRUE(program.sweepEnds());
    EXPECT_EQ(program.link->line(), LineState::Connected);

    // The bridge goes: its connection is closed and nobody listens any more.
    bridge.reset();
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Lost; }, 3000ms));

    // Refused reconnections at a modest pace: no thread spins meanwhile. The
    // bound is one that no load on the machine reaches and a spinning thread
    // passes at once; bench-idle measures the figure itself.
    const auto cpuBefore = processCpu();
    const auto wallBefore = Clock::now();
    program.pump(2500ms);
    const auto cpu = processCpu() - cpuBefore;
    const auto wall = Clock::now() - wallBefore;
    EXPECT_LT(cpu, wall / 2) << "cpu " << cpu.count() / 1000000 << " ms over "
                              << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
    EXPECT_EQ(program.link->line(), LineState::Lost);
    EXPECT_EQ(program.link->queuedPackets(), 0u);

    // Served again on the same port: reconnected, greeted and read again.
    unit.clearReceived();
    bridge = std::make_unique<sim::TcpServer>(unit.terminalPath());
    ASSERT_TRUE(bridge->start("127.0.0.1:" + std::to_string(port), error)) << error;
    expectReadAgainWithoutInput(program, unit);
    EXPECT_EQ(bridge->connections(), 1);
}

TEST(LineRecovery, LinePulledDuringAFirstStartDownloadGivesNoLoop)
{
    TempDir dir;
    sim::SimOptions o = fastUnit(dir.file("ttyRidaziv"));
    o.dropAfterPackets = 40; // greeting, status, configuration, then part of the definitions
    sim::SimServer unit(o);
    ASSERT_TRUE(unit.start());
    Program program(unit.devicePath());
    program.start(true);
    ASSERT_TRUE(program.link->state().UnitHeard);
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Lost; }, 5000ms));
    unit.stop(); // the device path goes with the unit
    EXPECT_TRUE(program.link->state().ReloadDefinitions) << "the download did not finish";

    const auto cpuBefore = processCpu();
    const auto wallBefore = Clock::now();
    program.pump(3000ms);
    const auto cpu = processCpu() - cpuBefore;
    const auto wall = Clock::now() - wallBefore;
    EXPECT_LE(program.prompt.count(), 1u) << "at most one message";
    EXPECT_EQ(program.link->queuedPackets(), 0u) << "nothing waits to be written into the void";
    EXPECT_LT(cpu, wall / 2) << "cpu " << cpu.count() / 1000000 << " ms over "
                              << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
    const auto before = Clock::now();
    program.link->ExitInstance();
    EXPECT_LT(Clock::now() - before, 500ms);
}

TEST(LineRecovery, UnitSilentThenWakingIsReadAgain)
{
    sim::SimServer unit(fastUnit());
    ASSERT_TRUE(unit.start());
    Program program(unit.devicePath());
    program.start(true);
    ASSERT_TRUE(program.sweepEnds());

    ASSERT_TRUE(unit.command("sleep"));
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Asleep; }, 3000ms));

    // Silent now: a refresh goes unanswered; one prompt, one retry, then the
    // line is reported as not answering.
    unit.setSilent(true);
    program.link->state().StatusSweepActive = true;
    program.link->SendPacket(framePacket(DC_CMD_GET_SYS_STATUS));
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::NotAnswering; }, 8000ms));
    EXPECT_EQ(program.prompt.count(), 1u);

    // Power comes back: DC_WAKEUP after the silence starts the sweep again.
    unit.clearReceived();
    unit.setSilent(false);
    ASSERT_TRUE(unit.command("wake"));
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Connected; }, 3000ms));
    ASSERT_TRUE(program.until([&] { return countCode(unit.receivedPackets(), DC_CMD_GET_SYS_PARAM_VALUES) >= 1; },
                              10000ms));
    ASSERT_TRUE(program.sweepEnds());
    const auto got = unit.receivedPackets();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], bytesOf(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})));
    EXPECT_EQ(got[1], bytesOf(framePacket(DC_CMD_GET_SYS_STATUS)));
    EXPECT_EQ(program.prompt.count(), 1u);
}

TEST(LineRecovery, SilenceCancelledAtThePromptIsStillNotAnswering)
{
    // Giving up on the unanswered request ends the sweep, but the unit is no
    // less silent for it: the line is reported as not answering, then lost.
    sim::SimServer unit(fastUnit());
    ASSERT_TRUE(unit.start());
    Program program(unit.devicePath());
    program.prompt.scriptAnswers({PromptAnswer::Cancel});
    program.start(true);
    ASSERT_TRUE(program.sweepEnds());

    unit.setSilent(true);
    unit.clearReceived();
    program.link->state().StatusSweepActive = true;
    program.link->SendPacket(framePacket(DC_CMD_GET_SYS_STATUS));
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::NotAnswering; }, 8000ms));
    EXPECT_EQ(program.prompt.texts(), (std::vector<std::string>{"Timeout. Press Enter to Retry!"}));
    EXPECT_FALSE(program.link->state().StatusSweepActive);
    EXPECT_EQ(countCode(unit.receivedPackets(), DC_CMD_GET_SYS_STATUS), 1u) << "nothing resent";
    ASSERT_TRUE(program.until([&] { return program.link->line() == LineState::Lost; }, 8000ms));
}

TEST(LineRecovery, RefusalCancelledSendsNothingMore)
{
    sim::SimOptions o = fastUnit();
    o.nakCommand = DC_CMD_GET_SYS_STATUS;
    sim::SimServer unit(o);
    ASSERT_TRUE(unit.start());
    Program program(unit.devicePath());
    program.prompt.scriptAnswers({PromptAnswer::Cancel});
    program.start(true);
    ASSERT_TRUE(program.until([&] { return program.prompt.count() >= 1; }, 3000ms));
    program.pump(1500ms);

    EXPECT_EQ(program.prompt.texts(), (std::vector<std::string>{"NAK Received. Press OK to Retry."}));
    EXPECT_EQ(program.prompt.buttons(), (std::vector<PromptButtons>{PromptButtons::OkCancel}));
    const auto got = unit.receivedPackets();
    EXPECT_EQ(got.size(), 3u) << "greeting and the refused request, nothing after";
    EXPECT_EQ(countCode(got, DC_CMD_GET_SYS_STATUS), 1u);
    EXPECT_FALSE(program.link->state().StatusSweepActive) << "the sweep is given up, the pages may send";
}

TEST(LineRecovery, TraceOfASilentUnitHoldsTheGreeting)
{
    sim::SimOptions o = fastUnit();
    o.silent = true;
    sim::SimServer unit(o);
    ASSERT_TRUE(unit.start());
    std::ostringstream trace;
    {
        Program program(unit.devicePath());
        program.start(false, &trace);
        EXPECT_FALSE(program.link->state().UnitHeard);
        program.link->ExitInstance();
    }
    char wakeup[64];
    char panel[64];
    std::snprintf(wakeup, sizeof wakeup, "\r\nWRITE: 5 Bytes  SEQ=0  CMD=%02x (", HOST_WAKEUP);
    std::snprintf(panel, sizeof panel, "\r\nWRITE: 9 Bytes  SEQ=1  CMD=%02x (", DC_CMD_SET_FPD_CTRL);
    const std::string text = trace.str();
    const auto at = text.find(wakeup);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(panel, at), std::string::npos) << text;
}

TEST(LineRecovery, NoiseAndSplitPacketsThroughAWholeDownload)
{
    sim::SimOptions o = fastUnit();
    o.noise = true;
    o.splitPackets = true;
    sim::SimServer unit(o);
    ASSERT_TRUE(unit.start());
    Program program(unit.devicePath());
    program.start(true);
    ASSERT_TRUE(program.link->state().UnitHeard);
    ASSERT_TRUE(program.sweepEnds());

    const auto snap = unit.snapshot();
    const auto got = unit.receivedPackets();
    // Every definition asked for exactly once: no packet lost to the noise or
    // the splits, no retry.
    EXPECT_EQ(countCode(got, DC_CMD_GET_SYS_PARAM_BY_ID), snap.paramNames.size());
    EXPECT_EQ(countCode(got, DC_CMD_GET_EFFECT), snap.effectNames.size());
    EXPECT_EQ(countCode(got, DC_CMD_GET_SYS_PARAM_VALUES), 1u);
    EXPECT_EQ(program.prompt.count(), 0u);
    EXPECT_EQ(program.link->line(), LineState::Connected);
}

} // namespace
} // namespace bm
