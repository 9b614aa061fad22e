// The link against the simulated unit over a real pseudo-terminal: greeting
// and detection, no unit, a held port, the NAK and time-out retries, and a
// line pulled out from under the reader.
#include "link/link_client.h"
#include "integration_support.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"
#include "tests/support/program_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNakPrompt = "NAK Received. Press OK to Retry.";
constexpr const char* kTimeoutPrompt = "Timeout. Press Enter to Retry!";

using test::bytesOf;
using test::processCpu;
using test::dispatching;
using test::pumpFor;
using test::waitUntil;

// Records the packets the link hands to the model.
class RecordingClient : public LinkClient {
public:
    void bindLink(CQuorControl&) override {}
    void loadDefinitionCache() override {}
    void storeParamValue(std::uint8_t, std::uint8_t) override {}
    void mirrorParamChange(std::uint8_t, std::uint8_t) override {}
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override
    {
        std::lock_guard lock(mutex_);
        frontPanel_.assign(data, data + length);
    }
    void setCurrentEffect(std::uint8_t) override {}
    void routePacket(const Packet& packet) override
    {
        std::lock_guard lock(mutex_);
        routed_.push_back(packet.code());
    }

    std::vector<std::uint8_t> routed() const
    {
        std::lock_guard lock(mutex_);
        return routed_;
    }
    Bytes frontPanel() const
    {
        std::lock_guard lock(mutex_);
        return frontPanel_;
    }

private:
    mutable std::mutex mutex_; // guards routed_ and frontPanel_
    std::vector<std::uint8_t> routed_;
    Bytes frontPanel_;
};

// The terminal back-end, counting what the reader asks of it: a reader that
// spins shows as thousands of opens, reads or waits where one that sleeps
// makes a few.
class CountingSerial : public TermiosSerialPort {
public:
    using TermiosSerialPort::TermiosSerialPort;
    bool open(int portNumber) override
    {
        ++calls;
        return TermiosSerialPort::open(portNumber);
    }
    std::size_t readAvailable(std::uint8_t* buffer, std::size_t capacity) override
    {
        ++calls;
        return TermiosSerialPort::readAvailable(buffer, capacity);
    }
    unsigned waitForBytes(WakeSignal& wake, int timeoutMs) override
    {
        ++calls;
        return TermiosSerialPort::waitForBytes(wake, timeoutMs);
    }
    std::atomic<long> calls{0};
};

// One program-side link on the simulator's terminal, with the test back-ends.
struct Rig {
    explicit Rig(const std::string& device) : serial(settings, device) {}

    std::unique_ptr<CQuorControl> connect(LinkClient* client = nullptr, int port = 1)
    {
        return std::make_unique<CQuorControl>(CQuorControl::Environment{owner, settings, prompt, serial},
                                              port, false, client);
    }

    ManualOwnerWindow owner;
    InMemorySettings settings;
    ScriptedPrompt prompt;
    CountingSerial serial;
};

std::size_t countCode(const sim::SimServer& sim, std::uint8_t code)
{
    const auto all = sim.receivedPackets();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const Bytes& p) { return p.size() > 2 && p[2] == code; }));
}

sim::SimOptions fast()
{
    sim::SimOptions o;
    o.fast = true;
    return o;
}

TEST(LinkIntegration, GreetingDetectsTheUnitAndStartsTheSweep)
{
    sim::SimServer sim; // wire timing on, as a real line
    ASSERT_TRUE(sim.start());
    Rig rig(sim.devicePath());
    RecordingClient client;
    auto link = rig.connect(&client, 3);

    EXPECT_TRUE(link->isOpen());
    EXPECT_TRUE(link->state().UnitHeard);
    EXPECT_TRUE(link->state().StatusSweepActive);
    ASSERT_TRUE(waitUntil([&] { return sim.receivedPackets().size() >= 3; }));
    const auto got = sim.receivedPackets();
    EXPECT_EQ(got[0], bytesOf(framePacket(HOST_WAKEUP)));
    EXPECT_EQ(got[1], bytesOf(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})));
    EXPECT_EQ(got[2], bytesOf(framePacket(DC_CMD_GET_SYS_STATUS)));

    // The answers came back through the ring and the routing: the status to
    // the model, the display to the model and to the owner window.
    ASSERT_TRUE(waitUntil([&] {
        const auto r = client.routed();
        return std::find(r.begin(), r.end(), DC_RESP_SYS_STATUS) != r.end();
    }));
    ASSERT_TRUE(waitUntil([&] { return client.frontPanel().size() == 42; }));
    const Bytes fpd = client.frontPanel();
    EXPECT_EQ(std::string(fpd.begin(), fpd.begin() + 20), "DVD        VOL -35dB");
    const auto history = rig.owner.history();
    EXPECT_TRUE(std::any_of(history.begin(), history.end(),
                            [](const Notification& n) { return n.message == WM_FRONT_PANEL; }));
    EXPECT_GE(link->state().ResponsesReceived.load(), 4u);
    EXPECT_EQ(rig.prompt.count(), 0u);

    EXPECT_EQ(link->InitInstance(), 0) << "already open";
    EXPECT_EQ(link->ExitInstance(), 0);
    EXPECT_FALSE(link->isOpen());
    EXPECT_FALSE(rig.serial.isOpen());
    EXPECT_EQ(link->ExitInstance(), 0) << "a second exit is harmless";
}

TEST(LinkIntegration, SilentUnitIsNotDetectedButALateAnswerIsHeard)
{
    sim::SimOptions o = fast();
    o.silent = true;
    sim::SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Rig rig(sim.devicePath());

    // Hold the line during construction so that InitInstance can be called,
    // and its result seen, afterwards.
    TermiosSerialPort holder(rig.settings, sim.devicePath());
    ASSERT_TRUE(holder.open(1));
    auto link = rig.connect();
    EXPECT_FALSE(link->isOpen());
    holder.close();

    const auto before = Clock::now();
    EXPECT_EQ(link->InitInstance(), 0);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
    EXPECT_FALSE(link->state().UnitHeard);
    EXPECT_TRUE(link->isOpen()) << "the threads keep running";
    ASSERT_TRUE(waitUntil([&] { return sim.receivedPackets().size() >= 2; }));
    EXPECT_EQ(countCode(sim, DC_CMD_GET_SYS_STATUS), 0u) << "no sweep without a unit";

    // Nothing heard yet: no time-out prompt, however long the window has been shut.
    pumpFor(800ms, dispatching(rig.owner));
    EXPECT_FALSE(link->state().ResponseWindowOpen);
    EXPECT_EQ(rig.prompt.count(), 0u);

    sim.setSilent(false);
    link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    EXPECT_TRUE(waitUntil([&] { return link->state().UnitHeard.load(); }));
    link->ExitInstance();
}

TEST(LinkIntegration, MissingDeviceFailsTheOpenAndStartsNoThreads)
{
    Rig rig("/dev/brennmark-missing-tty");
    const auto before = Clock::now();
    auto link = rig.connect();
    EXPECT_LT(Clock::now() - before, 500ms) << "no wait for a unit on a port that did not open";
    EXPECT_FALSE(link->isOpen());
    EXPECT_FALSE(link->state().UnitHeard);
    EXPECT_EQ(link->queuedPackets(), 0u) << "no greeting";
    // With no writer, a packet sent stays queued.
    link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(link->queuedPackets(), 1u);
    EXPECT_EQ(link->ExitInstance(), 0);
    EXPECT_EQ(link->queuedPackets(), 0u);
}

TEST(LinkIntegration, PortHeldByAnotherUserIsNotOpened)
{
    sim::SimServer sim(fast());
    ASSERT_TRUE(sim.start());
    InMemorySettings settings;
    TermiosSerialPort other(settings, sim.devicePath());
    ASSERT_TRUE(other.open(1));

    Rig rig(sim.devicePath());
    auto link = rig.connect();
    EXPECT_FALSE(link->isOpen());
    EXPECT_FALSE(rig.serial.isOpen());
    EXPECT_FALSE(link->state().UnitHeard);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sim.bytesFromHost(), 0u);
    link->ExitInstance();
    EXPECT_TRUE(other.isOpen()) << "the holder keeps its line";
}

TEST(LinkIntegration, NakPromptsAndResendsOncePerConfirmation)
{
    sim::SimOptions o = fast();
    o.nakCommand = DC_CMD_GET_SYS_STATUS;
    sim::SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Rig rig(sim.devicePath());
    rig.prompt.setHold(true);
    auto link = rig.connect();
    ASSERT_TRUE(link->state().UnitHeard);

    // The sweep's first request is refused: one prompt, and no resend until it
    // is confirmed.
    ASSERT_TRUE(rig.prompt.waitForCount(1, 3000));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(countCode(sim, DC_CMD_GET_SYS_STATUS), 1u);
    EXPECT_EQ(rig.prompt.count(), 1u);

    rig.prompt.release();
    ASSERT_TRUE(rig.prompt.waitForCount(2, 3000));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(countCode(sim, DC_CMD_GET_SYS_STATUS), 2u);

    // The unit takes it now; the third copy is answered and nothing more comes.
    sim.setNakCommand(-1);
    rig.prompt.release();
    ASSERT_TRUE(waitUntil([&] { return countCode(sim, DC_CMD_GET_SYS_STATUS) == 3; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(countCode(sim, DC_CMD_GET_SYS_STATUS), 3u);
    const auto texts = rig.prompt.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], kNakPrompt);
    EXPECT_EQ(texts[1], kNakPrompt);
    EXPECT_EQ(countCode(sim, HOST_WAKEUP), 1u) << "only the refused packet is resent";
    link->ExitInstance();
}

TEST(LinkIntegration, TimeoutPromptOnlyDuringASweepOrDownloadOnceTheUnitWasHeard)
{
    sim::SimServer sim(fast());
    ASSERT_TRUE(sim.start());
    Rig rig(sim.devicePath());
    auto link = rig.connect();
    ASSERT_TRUE(link->state().UnitHeard);
    ASSERT_TRUE(waitUntil([&] { return countCode(sim, DC_CMD_GET_SYS_STATUS) == 1; }));
    // Everything answered: the window closes and no prompt comes.
    pumpFor(700ms, dispatching(rig.owner));
    EXPECT_EQ(rig.prompt.count(), 0u);

    // Outside a sweep and a download a silent unit is not chased.
    link->state().StatusSweepActive = false;
    sim.setSilent(true);
    link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    pumpFor(800ms, dispatching(rig.owner));
    EXPECT_FALSE(link->state().ResponseWindowOpen);
    EXPECT_EQ(rig.prompt.count(), 0u);

    // During a download it is: once the window closes, the prompt, and after
    // its confirmation the unanswered packet goes again.
    rig.prompt.setHold(true);
    link->state().ReloadDefinitions = true;
    ASSERT_TRUE(waitUntil([&] { return rig.prompt.count() >= 1; }, 2000ms, dispatching(rig.owner)));
    EXPECT_EQ(rig.prompt.texts()[0], kTimeoutPrompt);
    EXPECT_EQ(countCode(sim, DC_CMD_GET_CONFIG), 1u);
    sim.setSilent(false); // the unit comes back
    rig.prompt.release();
    ASSERT_TRUE(waitUntil([&] { return countCode(sim, DC_CMD_GET_CONFIG) == 2; }));
    pumpFor(800ms, dispatching(rig.owner));
    EXPECT_EQ(rig.prompt.count(), 1u) << "answered: no further prompt";
    link->state().ReloadDefinitions = false;

    // During a sweep likewise, the unit going silent midway: one prompt, one
    // retry; when that goes unanswered too, no further prompt and no further
    // resend, and the line is reported as not answering.
    link->state().StatusSweepActive = true;
    sim.setSilent(true);
    link->SendPacket(framePacket(DC_CMD_GET_REC_STATUS));
    ASSERT_TRUE(waitUntil([&] { return rig.prompt.count() >= 2; }, 2000ms, dispatching(rig.owner)));
    EXPECT_EQ(rig.prompt.texts()[1], kTimeoutPrompt);
    rig.prompt.release();
    ASSERT_TRUE(waitUntil([&] { return countCode(sim, DC_CMD_GET_REC_STATUS) == 2; }));
    ASSERT_TRUE(waitUntil([&] { return link->line() == LineState::NotAnswering; }, 2000ms, dispatching(rig.owner)));
    pumpFor(1000ms, dispatching(rig.owner));
    EXPECT_EQ(rig.prompt.count(), 2u);
    EXPECT_EQ(countCode(sim, DC_CMD_GET_REC_STATUS), 2u);
    link->ExitInstance();
}

TEST(LinkIntegration, PulledLineIsLostWithoutPromptsOrSpinningAndStillCloses)
{
    test::TempDir dir;
    sim::SimOptions o = fast();
    o.linkPath = dir.file("ttyRidaziv");
    o.dropAfterPackets = 3; // the greeting is answered, the sweep's first request is not
    sim::SimServer sim(o);
    ASSERT_TRUE(sim.start());
    Rig rig(sim.devicePath());
    auto link = rig.connect();
    EXPECT_TRUE(link->state().UnitHeard);
    ASSERT_TRUE(waitUntil([&] { return link->line() != LineState::Connected; }, 3000ms, dispatching(rig.owner)));
    EXPECT_FALSE(sim.serving());
    sim.stop(); // the device path goes with the unit

    // Lost (and now and then Reconnecting, finding nothing): no prompt, and
    // the threads sleep instead of spinning. What the reader asks of the port
    // is counted (about one open a reconnection interval); the CPU time has a
    // bound no load reaches, a spin any. bench-idle measures the figure itself.
    const long callsBefore = rig.serial.calls.load();
    const auto cpuBefore = processCpu();
    const auto wallBefore = Clock::now();
    pumpFor(2500ms, dispatching(rig.owner));
    const auto cpu = processCpu() - cpuBefore;
    const auto wall = Clock::now() - wallBefore;
    const long calls = rig.serial.calls.load() - callsBefore;
    const long intervals = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() /
                                             kReconnectIntervalMs);
    EXPECT_LE(calls, 4 * (intervals + 2)) << calls << " calls on the port in " << intervals << " intervals";
    EXPECT_LT(cpu, wall / 2) << "cpu " << cpu.count() / 1000000 << " ms over "
                             << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
    EXPECT_EQ(rig.prompt.count(), 0u);
    EXPECT_EQ(link->line(), LineState::Lost);
    std::vector<std::uint32_t> lines;
    for (const auto& n : rig.owner.history())
        if (n.message == WM_LINE_STATE)
            lines.push_back(n.first);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), static_cast<std::uint32_t>(LineState::Lost));

    // Sends are dropped, not queued.
    const auto sent = link->state().CommandsSent.load();
    link->SendPacket(framePacket(DC_CMD_GET_CONFIG));
    EXPECT_EQ(link->queuedPackets(), 0u);
    EXPECT_EQ(link->state().CommandsSent.load(), sent);
    const auto before = Clock::now();
    EXPECT_EQ(link->ExitInstance(), 0);
    EXPECT_LT(Clock::now() - before, 500ms) << "the reader is woken, not waited out";
    EXPECT_FALSE(link->isOpen());
}

} // namespace
} // namespace bm
