// The unit core's one bring-up and its typed event stream, under both faces
// that run it without windows: brennmark-cli's session (its thread pumps the
// link's timers) and the service's line (a thread of its own). One table of
// what the unit does, the same events told either way: reports, values only
// a status read-back shows (the stream after an input change), sleep and
// wake, and a unit with another ROM plugged in where the first one was.
#include "cli/cli_session.h"
#include "link/vocabulary.h"
#include "model/records.h"
#include "tests/support/memory_settings.h"
#include "service/unit_line.h"
#include "sim/sim_server.h"
#include "tests/support/fast_timing.h"
#include "tests/support/wait_until.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bm::test {
namespace {

using unitcore::UnitEvent;

std::unique_ptr<SettingsStore> fastSettings()
{
    auto s = std::make_unique<InMemorySettings>();
    storeFastTiming(*s, FastTiming::pacingOnly());
    return s;
}

// An event as one line: "change volume 50", "change stream AC3 48 kHz",
// "power asleep", "unit", "ready".
std::string told(const UnitEvent& e)
{
    switch (e.kind) {
    case UnitEvent::Kind::Change:
        return "change " + e.change.control.name + " " +
               (e.change.value.text.empty() ? std::to_string(e.change.value.raw) : e.change.value.text);
    case UnitEvent::Kind::Power: return std::string("power ") + powerEventWord(e.asleep);
    case UnitEvent::Kind::Line: return std::string("line ") + lineStateWord(e.line);
    case UnitEvent::Kind::FrontPanel: return "display";
    case UnitEvent::Kind::Unit: return "unit";
    case UnitEvent::Kind::Ready: return "ready";
    }
    return "?";
}

// One face's connection, collecting the events it is told.
class Face {
public:
    virtual ~Face() = default;
    virtual bool start(const std::string& device, std::string& error) = 0;
    // What the face's own thread does between its waits.
    virtual void pass() = 0;
    std::vector<std::string> events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

protected:
    void take(const UnitEvent& e)
    {
        if (e.kind == UnitEvent::Kind::FrontPanel)
            return; // the display changes with everything; not what is checked here
        std::lock_guard lock(mutex_);
        events_.push_back(told(e));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

class CliFace : public Face {
public:
    bool start(const std::string& device, std::string& error) override { return start(device, error, {}); }
    bool start(const std::string& device, std::string& error,
               const std::function<std::unique_ptr<SettingsStore>()>& settings)
    {
        cli::CliOptions options;
        options.port = device;
        options.quiet = true;
        session_ = std::make_unique<cli::CliSession>(options);
        session_->useSettings(settings ? settings() : fastSettings());
        if (session_->connect(error) != cli::kExitOk)
            return false;
        session_->events().setRecording(true);
        return true;
    }
    void pass() override
    {
        session_->waitFor([] { return false; }, 10);
        for (const UnitEvent& e : session_->events().take())
            take(e);
    }

protected:
    std::unique_ptr<cli::CliSession> session_;
};

// One store seen by two programs (the service and its client on the same
// user's settings file): what one writes, the other reads.
class SharedSettings : public SettingsStore {
public:
    explicit SharedSettings(std::shared_ptr<SettingsStore> store) : store_(std::move(store)) {}
    int readInt(std::string_view s, std::string_view n, int d) override { return store_->readInt(s, n, d); }
    std::string readString(std::string_view s, std::string_view n, std::string_view d) override
    {
        return store_->readString(s, n, d);
    }
    bool writeInt(std::string_view s, std::string_view n, int v) override { return store_->writeInt(s, n, v); }
    bool writeString(std::string_view s, std::string_view n, std::string_view v) override
    {
        return store_->writeString(s, n, v);
    }
    bool contains(std::string_view s, std::string_view n) override { return store_->contains(s, n); }
    bool writeBatch(const std::vector<SettingsValue>& values) override { return store_->writeBatch(values); }

private:
    std::shared_ptr<SettingsStore> store_;
};

// brennmark-cli on the service's shared line: its session, with the unit's
// answers as the service gives them; with `shared`, on the service's own
// settings (its definition cache).
class CliThroughServiceFace : public CliFace {
public:
    explicit CliThroughServiceFace(bool shared = false)
    {
        rig_.view = &view_; // as brennmarkd runs
        if (shared) {
            std::shared_ptr<SettingsStore> store = fastSettings();
            rig_.makeSettings = [store] { return std::make_unique<SharedSettings>(store); };
        }
    }
    ~CliThroughServiceFace() override { session_.reset(); } // before the service goes
    bool start(const std::string& device, std::string& error) override
    {
        if (!rig_.startService(device)) {
            error = "the service did not start";
            return false;
        }
        return CliFace::start("unix:" + rig_.socketPath(), error, rig_.makeSettings);
    }

private:
    service::ServiceUnitView view_; // outlives the service
    ServiceRig rig_;
};

class ServiceFace : public Face {
public:
    ~ServiceFace() override
    {
        if (line_)
            line_->stop();
    }
    bool start(const std::string& device, std::string& error) override
    {
        service::UnitLine::Config config;
        config.device = device;
        config.makeSettings = fastSettings;
        service::UnitLine::Hooks hooks;
        hooks.events = [this](const UnitEvent& e) { take(e); };
        line_ = std::make_unique<service::UnitLine>(config, hooks);
        return line_->start(error);
    }
    void pass() override { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

private:
    std::unique_ptr<service::UnitLine> line_;
};

std::string streamOf(const sim::UnitSnapshot& u)
{
    std::string text = std::string(StreamFormatName(u.sysStatus[4])) + " " + SampleRateName(u.sysStatus[3]);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    while (!text.empty() && text.front() == ' ')
        text.erase(0, 1);
    return text;
}

class UnitCoreEvents : public testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/bm-unit-core-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        dir_ = dir;
    }
    void TearDown() override
    {
        sim.reset();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool startUnit(sim::Firmware firmware)
    {
        sim.reset();
        sim::SimOptions o;
        o.fast = true;
        o.firmware = firmware;
        o.linkPath = dir_ + "/unit";
        sim = std::make_unique<sim::SimServer>(o);
        return sim->start();
    }
    std::string device() const { return dir_ + "/unit"; }

    std::unique_ptr<sim::SimServer> sim;

private:
    std::string dir_;
};

// What the unit does, and the event that must follow (within a bound; the
// last event of its kind and control is the one compared, so an event one
// step behind fails).
struct Step {
    const char* what;
    std::function<bool(std::unique_ptr<sim::SimServer>&)> act;
    std::function<std::string(const sim::UnitSnapshot&)> expect;
    const char* prefix; // the events compared: those starting with this
    // Another unit comes: from here to the last step, every volume told is
    // the new unit's.
    bool newUnit = false;
};

int volumeOf(const sim::UnitSnapshot& u)
{
    for (std::size_t id = 0; id < u.paramNames.size(); ++id)
        if (u.paramNames[id] == "VOLUME")
            return u.paramValues[id];
    return -1;
}

TEST_F(UnitCoreEvents, EveryFaceIsToldTheSameSequenceOfWhatTheUnitDid)
{
    auto console = [](const char* line) {
        return [line](std::unique_ptr<sim::SimServer>& unit) { return unit->command(line); };
    };
    auto fixed = [](const char* text) { return [text](const sim::UnitSnapshot&) { return std::string(text); }; };
    auto stream = [](const sim::UnitSnapshot& u) { return "change stream " + streamOf(u); };
    // The unit switched off and another (or the same, with its factory
    // values) switched on where it was.
    auto plugIn = [](sim::Firmware firmware) {
        return [firmware](std::unique_ptr<sim::SimServer>& unit) {
            unit->stop();
            sim::SimOptions o;
            o.fast = true;
            o.firmware = firmware;
            o.linkPath = std::string(unit->devicePath());
            unit = std::make_unique<sim::SimServer>(o);
            return unit->start();
        };
    };
    const std::vector<Step> steps = {
        {"a report", console("set VOLUME 50"), fixed("change volume 50"), "change volume"},
        {"a value only the read-back shows", console("set FB_BALANCE 0"), fixed("change front-back 0"),
         "change front-back"},
        {"an input at the unit: the input", console("ir INPUT_TV"), fixed("change input 4"), "change input"},
        {"the stream of that input, not the one before", nullptr, stream, "change stream"},
        {"another input", console("ir INPUT_CD"), stream, "change stream"},
        {"sleep", console("sleep"), fixed("power asleep"), "power"},
        {"wake", console("wake"), fixed("power awake"), "power"},
        {"the same unit back after the line was lost: what changed meanwhile", plugIn(sim::Firmware::A),
         [](const sim::UnitSnapshot& u) { return "change volume " + std::to_string(volumeOf(u)); }, "change volume"},
        {"another ROM where the unit was", plugIn(sim::Firmware::B), fixed("unit"), "unit", true},
        {"its definitions and values are in", nullptr, fixed("ready"), "ready"},
        {"its report, read with its own definitions", console("set VOLUME 52"), fixed("change volume 52"),
         "change volume"},
    };

    struct FaceRow {
        const char* name;
        std::function<std::unique_ptr<Face>()> make;
        std::size_t steps; // how many of the steps it is told
    };
    const std::vector<FaceRow> faces = {
        {"brennmark-cli", [] { return std::make_unique<CliFace>(); }, steps.size()},
        {"service", [] { return std::make_unique<ServiceFace>(); }, steps.size()},
        {"brennmark-cli through the service", [] { return std::make_unique<CliThroughServiceFace>(); }, steps.size()},
        {"brennmark-cli through the service, on its settings",
         [] { return std::make_unique<CliThroughServiceFace>(true); }, steps.size()},
    };
    for (const auto& [name, make, count] : faces) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(startUnit(sim::Firmware::A));
        std::unique_ptr<Face> face = make();
        std::string error;
        ASSERT_TRUE(face->start(device(), error)) << error;
        std::size_t newUnitFrom = 0, lastFrom = 0;
        int newVolume = -1;
        for (std::size_t i = 0; i < count; ++i) {
            const Step& step = steps[i];
            SCOPED_TRACE(step.what);
            const std::size_t before = face->events().size();
            lastFrom = before;
            if (step.newUnit)
                newUnitFrom = before;
            if (step.act) {
                // A change made at the unit is told once the one before has settled.
                face->pass();
                ASSERT_TRUE(step.act(sim));
            }
            const std::string expected = step.expect(sim->snapshot());
            auto last = [&] {
                const std::vector<std::string> all = face->events();
                for (std::size_t i = all.size(); i > before; --i)
                    if (all[i - 1].rfind(step.prefix, 0) == 0)
                        return all[i - 1];
                return std::string();
            };
            EXPECT_TRUE(waitUntil([&] { return last() == expected; }, 15000, [&] { face->pass(); }))
                << "last told: " << last() << "\nall: " << testing::PrintToString(face->events());
            if (step.newUnit)
                newVolume = volumeOf(sim->snapshot());
        }
        // Between another unit's answer and its definitions nothing is decoded.
        const std::vector<std::string> all = face->events();
        const auto unit = std::find(all.begin(), all.end(), "unit");
        const auto ready = std::find(unit, all.end(), "ready");
        for (auto it = unit; it != ready; ++it)
            EXPECT_NE(it->rfind("change", 0), 0u) << *it << " told before the new unit's definitions were in";
        // Nor is anything of the old unit told as the new one's, before or after.
        for (std::size_t i = newUnitFrom; newUnitFrom > 0 && i < lastFrom && i < all.size(); ++i)
            if (all[i].rfind("change volume ", 0) == 0)
                EXPECT_EQ(all[i], "change volume " + std::to_string(newVolume)) << "told after another unit came";
        face.reset();
        sim.reset();
    }
}

} // namespace
} // namespace bm::test
