// The device model and the link against the simulated unit over a real
// pseudo-terminal: first and later starts with the definition cache, a ROM
// change, writing all values with the unit's restart, tone stepping, and the
// unit's own changes inside and outside the response window.
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "platform/serial_factory.h"
#include "sim/sim_server.h"
#include "tests/support/fast_timing.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bm {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::waitUntil;

constexpr const char* kMismatch = "ROM Timestamp mismatch. About to reload internal variables.";
constexpr int kSweepLimitMs = 60000; // generous: sanitizer builds run slowly

Bytes frame(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
{
    const Packet p = framePacket(code, data);
    return Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
}

// A name as the program keeps it: whole, without trailing blanks.
std::string asStored(const std::string& name, std::size_t width)
{
    std::string s = name.substr(0, width);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

int idOf(const sim::UnitSnapshot& snap, const std::string& name)
{
    for (std::size_t i = 0; i < snap.paramNames.size(); ++i)
        if (snap.paramNames[i] == name)
            return static_cast<int>(i);
    return -1;
}

// One run of the program against a unit: its own line, model and link, on a
// settings store that outlives it (the next start finds the cache there).
class ProgramRun {
public:
    ProgramRun(InMemorySettings& settings, sim::SimServer& unit)
        : settings_(settings), port_(makeSerialDevice(settings, unit.devicePath())), model(settings, prompt)
    {
    }
    ~ProgramRun() { stop(); }

    void start(bool reload)
    {
        link = std::make_unique<CQuorControl>(
            CQuorControl::Environment{owner, settings_, prompt, *port_}, 1, reload, &model);
    }
    // As at start-up: download when the cache probe says so.
    void startAsProgram() { start(DeviceModel::definitionCacheMissing(settings_)); }
    void stop()
    {
        if (link) {
            link->ExitInstance();
            link.reset();
        }
    }
    bool sweepEnds()
    {
        return waitUntil([&] { return !link->state().StatusSweepActive && !link->state().ReloadDefinitions; },
                       kSweepLimitMs);
    }
    void pump() { owner.dispatch(); }

    ScriptedPrompt prompt;
    ManualOwnerWindow owner;

private:
    InMemorySettings& settings_;
    // The program's own choice of back-end for the unit's device (termios;
    // the Winsock line on Windows, where the unit is on loopback TCP).
    std::unique_ptr<SerialDevice> port_;

public:
    DeviceModel model;
    std::unique_ptr<CQuorControl> link;
};

class ModelIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { quickLink(settings); }

    // The sender's pacing cut down, so a download takes moments; the
    // protocol and the order of everything stay as they are.
    static void quickLink(InMemorySettings& s) { test::storeFastTiming(s, test::FastTiming::pacingOnly()); }

    std::unique_ptr<sim::SimServer> startUnit(sim::Firmware firmware = sim::Firmware::A)
    {
        sim::SimOptions options;
        options.firmware = firmware;
        return startUnit(options);
    }
    std::unique_ptr<sim::SimServer> startUnit(sim::SimOptions options)
    {
        options.fast = true;
        auto unit = std::make_unique<sim::SimServer>(options);
        EXPECT_TRUE(unit->start());
        return unit;
    }

    // The model holds what the unit holds.
    static void expectModelMatches(const DeviceModel& model, const sim::UnitSnapshot& snap,
                                   bool compareEffect)
    {
        const UnitConfig config = model.unitConfig();
        const auto bytes = config.toBytes();
        EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), Bytes(snap.unitConfig.begin(), snap.unitConfig.end()));
        ASSERT_EQ(snap.paramNames.size(), config.TotalParams);
        EXPECT_EQ(model.paramValueCount(), config.TotalParams);
        for (std::size_t id = 0; id < snap.paramNames.size(); ++id) {
            const ParamDef def = model.paramDef(static_cast<std::uint8_t>(id));
            EXPECT_EQ(def.nameText(), snap.paramNames[id].substr(0, 21)) << id;
            EXPECT_EQ(def.maximum, snap.paramMax[id]) << id;
            EXPECT_EQ(model.paramValue(static_cast<std::uint8_t>(id)), snap.paramValues[id]) << id;
        }
        for (std::size_t id = 0; id < snap.effectNames.size() && id < kEffectTableSize; ++id) {
            EXPECT_EQ(model.effect(static_cast<int>(id)).nameText(), snap.effectNames[id].substr(0, 14)) << id;
            EXPECT_EQ(model.effect(static_cast<int>(id)).paramCount, snap.effectParams[id].size()) << id;
        }
        const UnitStatus s = model.status();
        const std::uint8_t sys[9] = {s.Volume, s.Input, s.Effect, s.SampleRate, s.StreamFormat,
                                     s.Mute, s.SysStatusReserved, s.Balance, s.FrontBackBalance};
        for (int i = 0; i < 9; ++i) {
            if (i != 2 || compareEffect) {
                EXPECT_EQ(sys[i], snap.sysStatus[static_cast<std::size_t>(i)]) << "status byte " << i;
            }
        }
        const std::uint8_t zone2[5] = {s.Zone2Volume, s.RecordInput, s.Zone2Mute, s.Zone2Reserved, s.Zone2Balance};
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(zone2[i], snap.zone2Status[static_cast<std::size_t>(i)]) << "zone 2 byte " << i;
        for (int i = 0; i < kInputCount; ++i)
            EXPECT_EQ(s.inputName(i), asStored(snap.inputNames[static_cast<std::size_t>(i)], 8)) << i;
        EXPECT_EQ(s.customName(), asStored(snap.customName, 20));
        // Named slots point at the unit's own ids.
        for (int i = 0; i < kNamedParamCount; ++i) {
            const int id = idOf(snap, kNamedParamNames[i]);
            if (id > 0) {
                EXPECT_EQ(model.namedSlot(static_cast<NamedParam>(i)), id) << kNamedParamNames[i];
            }
        }
    }

    // Makes a cache as a first start would, then ends that run.
    static void firstStart(InMemorySettings& store, sim::SimServer& unit)
    {
        ProgramRun run(store, unit);
        run.startAsProgram();
        ASSERT_TRUE(run.sweepEnds());
    }

    InMemorySettings settings;
};

TEST_F(ModelIntegrationTest, FirstStartDownloadsThenTheNextStartTrustsTheCache)
{
    auto unit = startUnit();
    const sim::UnitSnapshot snap = unit->snapshot();
    {
        ProgramRun run(settings, *unit);
        ASSERT_TRUE(DeviceModel::definitionCacheMissing(settings));
        run.startAsProgram();
        ASSERT_TRUE(run.link->state().UnitHeard);
        ASSERT_TRUE(run.sweepEnds());
        EXPECT_EQ(run.prompt.count(), 0u); // a requested download shows no mismatch
        // Everything is the unit's, the current effect too: the definitions
        // downloaded on the way do not make themselves current.
        expectModelMatches(run.model, snap, true);
        std::string effect;
        run.model.CurrentEffectName(effect);
        EXPECT_EQ(effect, snap.effectNames[snap.sysStatus[2]]);
        EXPECT_EQ(run.model.status().customName(), "Screening Room");
        EXPECT_EQ(run.model.status().inputName(4), "SAT TV");
    }

    // The whole cache was written.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(settings.readInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[i], -1), snap.unitConfig[static_cast<std::size_t>(i)]);
    EXPECT_EQ(settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "99/03/09 18:34");
    for (std::size_t id = 0; id < snap.paramNames.size(); ++id) {
        char key[8];
        std::snprintf(key, sizeof key, "0x%02x", static_cast<int>(id));
        EXPECT_EQ(settings.readString(keys::kCacheParamNames, key, "?"), snap.paramNames[id].substr(0, 21));
        EXPECT_EQ(settings.readInt(keys::kCacheParamMax, key, -1), snap.paramMax[id]);
        EXPECT_EQ(settings.readInt(keys::kCacheParamLast, key, -1), snap.paramValues[id]);
    }
    for (std::size_t id = 0; id < snap.effectNames.size(); ++id) {
        char key[8];
        std::snprintf(key, sizeof key, "0x%02x", static_cast<int>(id));
        EXPECT_EQ(settings.readString(keys::kCacheEffectNames, key, "?"), snap.effectNames[id].substr(0, 14));
        EXPECT_EQ(settings.readInt(keys::kCacheEffectMaxParams, key, -1), snap.effectParams[id].size());
    }

    // Next start, same unit: the cache is trusted and only the sweep goes out.
    unit->clearReceived();
    ProgramRun run(settings, *unit);
    ASSERT_FALSE(DeviceModel::definitionCacheMissing(settings));
    run.startAsProgram();
    ASSERT_TRUE(run.sweepEnds());
    EXPECT_EQ(run.prompt.count(), 0u);
    std::vector<Bytes> expected = {frame(HOST_WAKEUP), frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}),
                                   frame(DC_CMD_GET_SYS_STATUS), frame(DC_CMD_GET_REC_STATUS),
                                   frame(DC_CMD_GET_CONFIG), frame(DC_CMD_GET_CUST_NAME)};
    for (std::uint8_t i = 0; i < 8; ++i)
        expected.push_back(frame(DC_CMD_GET_INPUT_NAME, {i}));
    expected.push_back(frame(DC_CMD_GET_SYS_PARAM_VALUES));
    EXPECT_EQ(unit->receivedPackets(), expected);
    expectModelMatches(run.model, unit->snapshot(), true);
}

TEST_F(ModelIntegrationTest, NewFirmwareReloadsOnceAndMovesTheSlots)
{
    auto unitA = startUnit(sim::Firmware::A);
    firstStart(settings, *unitA);
    const int bassA = idOf(unitA->snapshot(), "BASS");
    unitA->stop();

    auto unitB = startUnit(sim::Firmware::B);
    const sim::UnitSnapshot snapB = unitB->snapshot();
    const int bassB = idOf(snapB, "BASS");
    ASSERT_NE(bassA, bassB);

    ProgramRun run(settings, *unitB);
    run.startAsProgram(); // the cache is there: no download asked for
    ASSERT_TRUE(run.sweepEnds());
    EXPECT_EQ(run.prompt.texts(), std::vector<std::string>{kMismatch});
    EXPECT_EQ(run.model.namedSlot(NamedParam::BASS), bassB);
    expectModelMatches(run.model, snapB, false);
    EXPECT_EQ(settings.readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""), "99/11/22 09:05");
    char key[8];
    std::snprintf(key, sizeof key, "0x%02x", bassB);
    EXPECT_EQ(settings.readString(keys::kCacheParamNames, key, ""), "BASS");
}

// The Speaker Config page's read of all values while the definitions of a new
// ROM come in: it waits for the download instead of taking its answers, the
// download runs to its end and marks the cache complete for the new ROM, and
// the page gets the unit's values.
TEST_F(ModelIntegrationTest, APageReadDuringARomChangeDownloadWaitsForIt)
{
    auto unitA = startUnit(sim::Firmware::A);
    firstStart(settings, *unitA);
    unitA->stop();

    sim::SimOptions options;
    options.firmware = sim::Firmware::B;
    options.answerDelayMs = 20; // the download takes seconds, as on a real line
    auto unitB = startUnit(options);
    const sim::UnitSnapshot snapB = unitB->snapshot();
    ProgramRun run(settings, *unitB);
    run.startAsProgram();
    auto definitionRequests = [&] {
        int n = 0;
        for (const Bytes& p : unitB->receivedPackets())
            n += p[2] == DC_CMD_GET_SYS_PARAM_BY_ID ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return definitionRequests() >= 10; }, kSweepLimitMs));
    ASSERT_TRUE(run.link->state().ReloadDefinitions) << "the download is under way";

    EXPECT_EQ(run.model.GetSysParams(true), 1);
    ASSERT_TRUE(run.sweepEnds());
    EXPECT_EQ(definitionRequests(), static_cast<int>(snapB.paramNames.size()));
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(settings));
    EXPECT_EQ(settings.readString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, ""), "99/11/22 09:05");
    expectModelMatches(run.model, snapB, false);
}

TEST_F(ModelIntegrationTest, ADownloadCutShortIsDoneAgainAndAWriteSendsTheUnitsOwnValues)
{
    {
        // The line drops while parameter definitions are coming in.
        sim::SimOptions options;
        options.dropAfterPackets = 45;
        auto dropping = startUnit(options);
        ProgramRun run(settings, *dropping);
        run.startAsProgram();
        ASSERT_TRUE(waitUntil([&] { return !dropping->serving(); }, kSweepLimitMs));
        EXPECT_TRUE(run.link->state().ReloadDefinitions);
    }
    // Nothing of that download may be trusted at the next start.
    ASSERT_TRUE(DeviceModel::definitionCacheMissing(settings));

    auto unit = startUnit();
    const sim::UnitSnapshot snap = unit->snapshot();
    ProgramRun run(settings, *unit);
    run.startAsProgram();
    const std::size_t writesBefore = settings.writeCount();
    ASSERT_TRUE(run.sweepEnds());
    // The definitions were all asked for again, and the cache written in two
    // store writes (the old mark withdrawn, then the whole cache at once).
    int definitionRequests = 0;
    for (const Bytes& p : unit->receivedPackets())
        definitionRequests += p[2] == DC_CMD_GET_SYS_PARAM_BY_ID ? 1 : 0;
    EXPECT_EQ(definitionRequests, static_cast<int>(snap.paramNames.size()));
    EXPECT_EQ(settings.writeCount() - writesBefore, 2u);
    EXPECT_FALSE(DeviceModel::definitionCacheMissing(settings));
    expectModelMatches(run.model, snap, true);

    // A write of all values (the Speaker Config page's "Update") sends the
    // unit's own values back, every one of them.
    unit->clearReceived();
    ASSERT_EQ(run.model.SetSysParams(true), 1);
    EXPECT_EQ(run.prompt.count(), 0u);
    ASSERT_EQ(unit->receivedPackets().size(), 1u);
    const Bytes sent = unit->receivedPackets()[0];
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.end() - 1), snap.paramValues);
    EXPECT_EQ(unit->snapshot().paramValues, snap.paramValues);
}

TEST_F(ModelIntegrationTest, AUnitWithMoreEffectsThanTheTableIsCachedCompleteAndTrusted)
{
    sim::SimOptions options;
    options.effectCount = 40;
    auto unit = startUnit(options);
    firstStart(settings, *unit);
    ASSERT_FALSE(DeviceModel::definitionCacheMissing(settings));
    EXPECT_EQ(settings.readInt(keys::kCacheUnitConfig, "TotalEffects", -1), 40);
    EXPECT_FALSE(settings.contains(keys::kCacheEffectNames, "0x20"));

    unit->clearReceived();
    ProgramRun run(settings, *unit);
    run.startAsProgram();
    ASSERT_TRUE(run.sweepEnds());
    for (const Bytes& p : unit->receivedPackets())
        EXPECT_NE(p[2], DC_CMD_GET_EFFECT) << "a trusted cache asks for no definition";
    EXPECT_EQ(run.model.unitConfig().TotalEffects, 40); // the unit's own count, from its answer
    EXPECT_EQ(run.model.effect(31).nameText(), unit->snapshot().effectNames[31]);
}

TEST_F(ModelIntegrationTest, AToneStepToTheEndOfItsRangeEndsOnAUnitThatReportsOnlyChanges)
{
    sim::SimOptions options;
    options.reportChangesOnly = true;
    auto unit = startUnit(options);
    ProgramRun run(settings, *unit);
    run.startAsProgram();
    ASSERT_TRUE(run.sweepEnds());
    const int bass = idOf(unit->snapshot(), "BASS");
    ASSERT_TRUE(unit->command("set BASS 23"));
    ASSERT_TRUE(waitUntil([&] { return run.model.BassLevel() == 23; }, 5000, [&] { run.pump(); }));

    // Two presses toward 24: the first reaches it, the second changes nothing
    // and brings no report.
    run.model.SetBassLevel(24);
    ASSERT_TRUE(waitUntil([&] { return run.model.stepper(ToneControl::Bass).active == 0; }, 10000,
                        [&] { run.pump(); }));
    EXPECT_EQ(run.model.BassLevel(), 24);

    // The control still answers.
    run.model.SetBassLevel(20);
    ASSERT_TRUE(waitUntil([&] { return run.model.stepper(ToneControl::Bass).active == 0; }, 20000,
                        [&] { run.pump(); }));
    EXPECT_EQ(unit->snapshot().paramValues[static_cast<std::size_t>(bass)], 20);
    EXPECT_EQ(run.model.BassLevel(), 20);
}

// Each test runs a later start on a fresh unit of the same firmware; the
// cache of the suite's first start serves them all.
class ParamWriteTest : public ModelIntegrationTest {
protected:
    static void SetUpTestSuite() { store = new InMemorySettings; }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }

    void SetUp() override
    {
        quickLink(*store);
        // A unit that does not restart is waited for 30 x 50 ms only (the
        // simulated unit takes 300 ms to come back).
        store->writeInt(keys::kComm, keys::kRestoreConfigWakeupWaitCount.name, 30);
        store->writeInt(keys::kComm, keys::kRestoreConfigWakeupWaitInterval.name, 50);
        unit = startUnit();
        if (DeviceModel::definitionCacheMissing(*store))
            firstStart(*store, *unit);
        run = std::make_unique<ProgramRun>(*store, *unit);
        run->startAsProgram();
        ASSERT_TRUE(run->sweepEnds());
        ASSERT_EQ(run->prompt.count(), 0u);
        volumeId = static_cast<std::uint8_t>(idOf(unit->snapshot(), "VOLUME"));
    }
    void TearDown() override { run.reset(); }

    static InMemorySettings* store;

    void setValue(std::uint8_t id, std::uint8_t value)
    {
        auto values = run->model.paramValues();
        values[id] = value;
        run->model.setParamValues(values.data(), run->model.paramValueCount());
    }

    std::unique_ptr<sim::SimServer> unit;
    std::unique_ptr<ProgramRun> run;
    std::uint8_t volumeId = 0;
};

InMemorySettings* ParamWriteTest::store = nullptr;

TEST_F(ParamWriteTest, WriteWaitsForTheAcknowledgementAndTheRestart)
{
    setValue(volumeId, 61);
    unit->clearReceived();
    EXPECT_EQ(run->model.SetSysParams(true), 1);
    EXPECT_EQ(unit->snapshot().paramValues[volumeId], 61);
    EXPECT_FALSE(run->link->state().ParamCaptureActive);
    // The captured wake-up started no sweep.
    EXPECT_FALSE(run->link->state().StatusSweepActive);
    ASSERT_EQ(unit->receivedPackets().size(), 1u);
    EXPECT_EQ(unit->receivedPackets()[0][2], DC_CMD_SET_SYS_PARAM_VALUES);
}

TEST_F(ParamWriteTest, RefusalAndMissingRestartFail)
{
    unit->setNakCommand(DC_CMD_SET_SYS_PARAM_VALUES);
    EXPECT_EQ(run->model.SetSysParams(true), 0);
    EXPECT_EQ(run->prompt.count(), 0u); // taken by the wait, never the retry prompt
    unit->setNakCommand(-1);

    unit->setNoWakeupAfterParamWrite(true);
    setValue(volumeId, 33);
    EXPECT_EQ(run->model.SetSysParams(true), 0);
    EXPECT_EQ(unit->snapshot().paramValues[volumeId], 33); // written, but never restarted
    EXPECT_FALSE(run->link->state().ParamCaptureActive);
    EXPECT_FALSE(run->link->PopCaptured().has_value());
}

TEST_F(ParamWriteTest, ValuesAboveTheirMaximumAreClampedWithAMessage)
{
    const std::uint8_t max = run->model.paramDef(volumeId).maximum;
    setValue(volumeId, static_cast<std::uint8_t>(max + 3));
    EXPECT_EQ(run->model.SetSysParams(true), 1);
    char text[160];
    std::snprintf(text, sizeof text,
                  "Reseting BAD System Paramater ID=%02x(VOLUME)  ATTEMPTED_WRITE=%02x  MAX=%02x", volumeId,
                  max + 3, max);
    EXPECT_EQ(run->prompt.texts(), std::vector<std::string>{text});
    EXPECT_EQ(unit->snapshot().paramValues[volumeId], max);
    EXPECT_EQ(run->model.paramValue(volumeId), max);
}

TEST_F(ParamWriteTest, GetWithWaitingReadsTheUnitsValues)
{
    unit->command("set VOLUME 70");
    EXPECT_EQ(run->model.GetSysParams(true), 1);
    EXPECT_EQ(run->model.paramValue(volumeId), 70);
}

TEST_F(ParamWriteTest, ToneSteppingReachesItsTargetUpAndDown)
{
    struct Step {
        int (DeviceModel::*set)(std::uint8_t);
        std::uint8_t (DeviceModel::*level)() const;
        ToneControl control;
        const char* name;
        std::uint8_t target;
    };
    const Step steps[] = {
        {&DeviceModel::SetBassLevel, &DeviceModel::BassLevel, ToneControl::Bass, "BASS", 17},
        {&DeviceModel::SetBassLevel, &DeviceModel::BassLevel, ToneControl::Bass, "BASS", 11},
        {&DeviceModel::SetTrebleLevel, &DeviceModel::TrebleLevel, ToneControl::Treble, "TREBLE", 13},
        {&DeviceModel::SetTiltLevel, &DeviceModel::TiltLevel, ToneControl::Tilt, "TILT", 9},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << s.name << " to " << int(s.target));
        (run->model.*s.set)(s.target);
        ASSERT_TRUE(waitUntil([&] { return run->model.stepper(s.control).active == 0; }, 20000));
        EXPECT_EQ((run->model.*s.level)(), s.target);
        // Everything sent so far has been answered once this read returns:
        // no key was left running past the target.
        ASSERT_EQ(run->model.GetSysParams(true), 1);
        EXPECT_EQ((run->model.*s.level)(), s.target);
        EXPECT_EQ(unit->snapshot().paramValues[static_cast<std::size_t>(idOf(unit->snapshot(), s.name))], s.target);
    }
}

TEST_F(ParamWriteTest, UnitChangesInsideAndOutsideTheResponseWindow)
{
    LinkState& state = run->link->state();
    const int programId = idOf(unit->snapshot(), "PROGRAM");
    auto notices = [&](int id) {
        int n = 0;
        for (const Notification& note : run->owner.history())
            n += note.message == WM_PARAM_CHANGED && note.first == static_cast<std::uint32_t>(id) ? 1 : 0;
        return n;
    };

    // Right after our own sends the window is open: the change is stored quietly.
    ASSERT_TRUE(state.ResponseWindowOpen);
    ASSERT_TRUE(unit->command("set VOLUME 50"));
    ASSERT_TRUE(waitUntil([&] { return run->model.status().Volume == 50; }, 5000));
    EXPECT_EQ(notices(volumeId), 0);
    EXPECT_FALSE(state.SendSuppressed);

    // Once the window has closed, a change is the user's at the unit.
    ASSERT_TRUE(waitUntil([&] { return !state.ResponseWindowOpen; }, 5000, [&] { run->pump(); }));
    ASSERT_TRUE(unit->command("set VOLUME 52"));
    ASSERT_TRUE(waitUntil([&] { return notices(volumeId) == 1; }, 5000));
    EXPECT_EQ(run->model.status().Volume, 52);
    EXPECT_TRUE(state.SendSuppressed);

    // A change of program asks for the effect, but that request falls in the
    // suppression the change itself started.
    unit->clearReceived();
    const auto sent = state.CommandsSent.load();
    ASSERT_TRUE(unit->command("set PROGRAM 3"));
    ASSERT_TRUE(waitUntil([&] { return notices(programId) == 1; }, 5000));
    EXPECT_EQ(run->model.status().Effect, 3);
    EXPECT_EQ(state.CommandsSent.load(), sent + 1);

    // When the suppression ends, the program is heard again.
    ASSERT_TRUE(waitUntil([&] { return !state.SendSuppressed; }, 5000, [&] { run->pump(); }));
    run->model.SetVolume(40);
    ASSERT_TRUE(waitUntil([&] { return unit->snapshot().sysStatus[0] == 40; }, 5000));
    EXPECT_EQ(unit->receivedPackets(), std::vector<Bytes>{frame(DC_CMD_SET_SYS_VOLUME, {40})});
}

// Every value a page shows, and how it stays true when the unit changes it
// by itself (its front panel or remote, here the simulator's console).
TEST_F(ParamWriteTest, EveryShownValueFollowsTheUnit)
{
    using Model = const DeviceModel&;
    using Unit = const sim::UnitSnapshot&;
    const auto param = [](Unit u, const char* name) {
        return static_cast<int>(u.paramValues[static_cast<std::size_t>(idOf(u, name))]);
    };
    struct Row {
        const char* page;
        const char* shown;
        const char* console;  // what changes it on the unit
        const char* keptBy;   // how the program learns it
        std::function<int(Model)> shownValue;
        std::function<int(Unit)> unitValue;
    };
    const Row rows[] = {
        {"General", "Volume", "set VOLUME 50", "VOLUME change message",
         [](Model m) { return int{m.status().Volume}; }, [](Unit u) { return int{u.sysStatus[0]}; }},
        {"General", "Balance", "set LR_BALANCE 20", "LR_BALANCE change message",
         [](Model m) { return int{m.status().Balance}; }, [](Unit u) { return int{u.sysStatus[7]}; }},
        {"General", "Front/Back Balance", "set FB_BALANCE 24", "status re-read: no slot names it",
         [](Model m) { return int{m.status().FrontBackBalance}; }, [](Unit u) { return int{u.sysStatus[8]}; }},
        {"General", "Mute", "set MUTE 1", "MUTE change message",
         [](Model m) { return int{m.status().Mute}; }, [](Unit u) { return int{u.sysStatus[5]}; }},
        {"Info", "Input", "ir INPUT_CD", "INPUT change message",
         [](Model m) { return int{m.status().Input}; }, [](Unit u) { return int{u.sysStatus[1]}; }},
        {"Info", "Sample Rate", "ir INPUT_TV", "status re-read after an input change",
         [](Model m) { return int{m.status().SampleRate}; }, [](Unit u) { return int{u.sysStatus[3]}; }},
        {"Info", "Data Stream", "ir INPUT_TAPE", "status re-read after an input change",
         [](Model m) { return int{m.status().StreamFormat}; }, [](Unit u) { return int{u.sysStatus[4]}; }},
        {"Info", "Effect", "ir EFFECT_DTS", "PROGRAM change message",
         [](Model m) { return int{m.status().Effect}; }, [](Unit u) { return int{u.sysStatus[2]}; }},
        {"Zone 2", "Volume", "set Z2_VOL 50", "Z2_VOL change message",
         [](Model m) { return int{m.status().Zone2Volume}; }, [](Unit u) { return int{u.zone2Status[0]}; }},
        {"Zone 2", "Balance", "set Z2_BAL 10", "Z2_BAL change message",
         [](Model m) { return int{m.status().Zone2Balance}; }, [](Unit u) { return int{u.zone2Status[4]}; }},
        {"Zone 2", "Mute", "ir ZONE2_MUTE", "Z2_MUTE change message",
         [](Model m) { return int{m.status().Zone2Mute}; }, [](Unit u) { return int{u.zone2Status[2]}; }},
        {"Zone 2", "Current Input", "ir ZONE2_DVD", "status re-read: no slot names REC_INPUT",
         [](Model m) { return int{m.status().RecordInput}; }, [](Unit u) { return int{u.zone2Status[1]}; }},
        {"Zone 2", "Zone-2/Record On", "set RECORD_ENABLED 0", "RECORD_ENABLED change message",
         [](Model m) { return int{m.RecordEnabledState()}; },
         [&](Unit u) { return param(u, "RECORD_ENABLED"); }},
        {"Equalization", "Bass", "ir BASS_UP", "BASS change message",
         [](Model m) { return int{m.BassLevel()}; }, [&](Unit u) { return param(u, "BASS"); }},
        {"Equalization", "Treble", "ir TREBLE_DOWN", "TREBLE change message",
         [](Model m) { return int{m.TrebleLevel()}; }, [&](Unit u) { return param(u, "TREBLE"); }},
        {"Equalization", "Tilt", "set TILT 20", "TILT change message",
         [](Model m) { return int{m.TiltLevel()}; }, [&](Unit u) { return param(u, "TILT"); }},
        {"Equalization", "Loudness", "ir LOUDNESS_ON", "LOUDNESS change message",
         [](Model m) { return int{m.LoudnessState()}; }, [&](Unit u) { return param(u, "LOUDNESS"); }},
        {"Output Levels", "Center", "set OUT_ADJ_CENTER 27", "OUT_ADJ_CENTER change message",
         [](Model m) { return 40 - m.OutputPosition(0); }, [&](Unit u) { return param(u, "OUT_ADJ_CENTER"); }},
        {"Output Levels", "Rear R", "set OUT_ADJ_REAR_R 12", "OUT_ADJ_REAR_R change message",
         [](Model m) { return 40 - m.OutputPosition(7); }, [&](Unit u) { return param(u, "OUT_ADJ_REAR_R"); }},
    };
    // Not in the table: the Speaker Config page reads every value from the
    // unit whenever it is shown, and the Names page's names are the unit's as
    // of the last sweep ("Update All"); the unit reports no name changes.
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.page << ": " << row.shown << " (" << row.keptBy << ")");
        // The row before may still be on its way (a re-read after an input change).
        const int before = row.unitValue(unit->snapshot());
        ASSERT_TRUE(waitUntil([&] { return row.shownValue(run->model) == before; }, 5000, [&] { run->pump(); }));
        ASSERT_TRUE(unit->command(row.console));
        const int after = row.unitValue(unit->snapshot());
        ASSERT_NE(after, before) << "the console line changed nothing";
        EXPECT_TRUE(waitUntil([&] { return row.shownValue(run->model) == after; }, 5000, [&] { run->pump(); }))
            << "shown " << row.shownValue(run->model) << ", the unit has " << after;
    }
}

} // namespace
} // namespace bm
