// The panel's Restore Config on the unit's own port and through the service,
// one table of steps run both ways: while the volume changes meanwhile (the
// unit's knob on the port of one's own, another client's sets through the
// service), a restore ends with the file's values in the unit and in the
// panel's pages; a refused write or a damaged file gives the same messages
// and the same status line both ways, and never leaves an earlier "Restored
// from" standing. Compare lists the same differences both ways while the
// volume changes, refuses another ROM's file in the same words, and its
// restore carries the panel's custom-name display switch, not the service's.
#include "app/compare_dialog.h"
#include "link/quor_control.h"
#include "model/control_help.h"
#include "model/controls.h"
#include "model/device_model.h"
#include "platform/service_socket.h"
#include "platform/settings_keys.h"
#include "tests/app/app_rig.h"
#include "tests/service/service_rig.h"
#include "ui/control_sheet.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

namespace bm::test {
namespace {

using namespace std::chrono_literals;

QApplication& application()
{
    static int argc = 1;
    static char name[] = "panel_restore_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Kept to the process's end: destroyed among the exit handlers, it would
    // outlive Qt's own statics.
    static QApplication* const app = new QApplication(argc, argv);
    return *app;
}

// Runs the interface's events until `done` holds or `limit` has passed.
bool pumpUntil(std::chrono::milliseconds limit, const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

int paramId(const sim::UnitSnapshot& unit, const std::string& name)
{
    for (std::size_t id = 0; id < unit.paramNames.size(); ++id)
        if (unit.paramNames[id] == name)
            return static_cast<int>(id);
    return -1;
}

// The unit's system parameters but the volume, which the other client moves.
std::vector<std::uint8_t> withoutVolume(std::vector<std::uint8_t> values, int volumeId)
{
    values.at(static_cast<std::size_t>(volumeId)) = 0;
    return values;
}

struct Step {
    const char* name;
    const char* button;  // on the Info page: restoreConfig, or compareConfig (every difference ticked)
    const char* file;    // unit.lex (as saved), damaged.lex (the loader refuses it) or other.lex (another ROM's)
    int nak;             // the command the unit refuses meanwhile, or -1
    std::vector<std::string> prompts; // "*": any text
    std::string outcome; // the status line; "{file}" stands for the path
    // Compare: the differences the dialog lists (the controls' names), and
    // the panel's custom-name display switch, which the restore must carry
    // (the service's own is on).
    std::vector<std::string> differences = {};
    bool nameShown = false;
};

const std::vector<std::string> kMovedAway = {"input-name-1", "custom-name", "volume", "bass"};
const char* const kOtherRom = "Configuration not compared: different ROM timestamps (\"09/03/09 18:34\" and "
                              "\"99/03/09 18:34\") in the file and the unit";

const std::vector<Step> kSteps = {
    {"the whole file", "restoreConfig", "unit.lex", -1, {}, "Restored from {file}"},
    {"the unit refuses the custom name", "restoreConfig", "unit.lex", DC_CMD_SET_CUST_NAME,
     {"Restore Customname Parameters Failed.", "Failed to restore configuration!"}, "Configuration not restored"},
    {"a damaged file", "restoreConfig", "damaged.lex", -1, {"*", "Failed to restore configuration!"},
     "Configuration not restored"},
    {"the unit refuses the parameters", "restoreConfig", "unit.lex", DC_CMD_SET_SYS_PARAM_VALUES,
     {"Set Sys Parameters Failed.", "Failed to restore configuration!"}, "Configuration not restored"},
    {"the ticked differences", "compareConfig", "unit.lex", -1, {}, "Restored the ticked differences from unit.lex",
     kMovedAway, true},
    {"a ticked custom name, its display switched off", "compareConfig", "unit.lex", -1, {},
     "Restored the ticked differences from unit.lex", kMovedAway, false},
    {"a file of another ROM", "compareConfig", "other.lex", -1, {std::string(kOtherRom) + "."}, kOtherRom},
};

// One way of reaching the unit: its device for the panel, and the volume
// changing meanwhile (start/stop).
struct Way {
    const char* name;
    bool service;
};

class PanelRestore : public ::testing::TestWithParam<Way> {};

TEST_P(PanelRestore, SameUnitStateAndOutcomeWhileTheVolumeChanges)
{
    application();
    const Way way = GetParam();
    ServiceRig rig;
    rig.makeSettings = [] {
        auto settings = std::make_unique<InMemorySettings>();
        storeFastTiming(*settings, FastTiming::pacingOnly());
        settings->writeInt(keys::kSettings, keys::kEnableCustomName, 1);
        return std::unique_ptr<SettingsStore>(std::move(settings));
    };
    sim::SimServer direct(fastSim());
    sim::SimServer* unit = &direct;
    std::string device;
    if (way.service) {
        ASSERT_TRUE(rig.start());
        unit = rig.sim.get();
        device = "unix:" + rig.socketPath();
        ASSERT_TRUE(isServiceDevice(device));
    } else {
        ASSERT_TRUE(direct.start());
        device = direct.devicePath();
    }
    FrameParts parts;
    auto frame = makeFrame(parts, quietStart, device);
    ASSERT_EQ(frame->create(), 0);
    ASSERT_NE(frame->sheet(), nullptr);
    auto* info = frame->pages().info;
    auto click = [&](const char* button) { info->findChild<QPushButton*>(QString::fromLatin1(button))->click(); };

    char dir[] = "/tmp/bm-panel-restore-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string file = std::string(dir) + "/unit.lex";
    std::ofstream(std::string(dir) + "/damaged.lex") << "not a configuration";
    parts.files->scriptPath(file);
    click("saveConfig");
    ASSERT_EQ(frame->sheet()->outcomeText().toStdString(), "Configuration saved to " + file);
    ASSERT_TRUE(pumpUntil(10s, [&] { return !frame->control()->state().StatusSweepActive; }));
    const sim::UnitSnapshot saved = unit->snapshot();
    const int volumeId = paramId(saved, "VOLUME");
    const int bassId = paramId(saved, "BASS");
    ASSERT_GE(volumeId, 0);
    ASSERT_GE(bassId, 0);
    {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.at(17) = '0'; // the ROM's timestamp
        std::ofstream(std::string(dir) + "/other.lex", std::ios::binary) << bytes;
    }

    for (const Step& step : kSteps) {
        SCOPED_TRACE(std::string(way.name) + ": " + step.name);
        // The unit moves away from the file first (at its own panel).
        const int bass = saved.paramValues[static_cast<std::size_t>(bassId)];
        ASSERT_TRUE(unit->command("set BASS " + std::to_string(bass == 0 ? 1 : bass - 1)));
        ASSERT_TRUE(unit->command("name 0 \"Moved away\""));
        ASSERT_TRUE(unit->command("name custom \"Moved away\""));
        unit->setNakCommand(step.nak);
        parts.prompt->clear();
        parts.settings->writeInt(keys::kSettings, keys::kEnableCustomName, step.nameShown ? 1 : 0);

        std::atomic<bool> stop{false};
        std::atomic<int> changes{0};
        std::thread volume([&] {
            if (way.service) {
                RawClient other(rig.socketPath());
                for (int v = 0; !stop; v = 1 - v) {
                    other.send(std::string(R"({"op":"set","values":{"volume":)") + (v ? "-30" : "-31") + "}}\n");
                    if (other.line(10000))
                        ++changes;
                }
            } else {
                for (int v = 0; !stop; v = 1 - v) {
                    // A hand on the knob: a step every tenth of a second.
                    unit->command(v ? "set VOLUME 50" : "set VOLUME 49");
                    ++changes;
                    for (int slice = 0; slice < 10 && !stop; ++slice)
                        std::this_thread::sleep_for(10ms);
                }
            }
        });
        while (changes < 2)
            std::this_thread::yield();
        parts.files->scriptPath(std::string(dir) + "/" + step.file);
        std::vector<std::string> listed;
        parts.runner->script = [&listed](QDialog& dialog) {
            auto& compare = static_cast<CCompareDlg&>(dialog);
            for (int row = 0; row < compare.list()->topLevelItemCount(); ++row) {
                listed.push_back(compare.list()->topLevelItem(row)->text(0).toStdString());
                compare.setTicked(row, true);
            }
            return int(QDialog::Accepted);
        };
        click(step.button);
        stop = true;
        volume.join();
        unit->setNakCommand(-1);

        std::string outcome = step.outcome;
        if (const auto at = outcome.find("{file}"); at != std::string::npos)
            outcome.replace(at, 6, file);
        EXPECT_EQ(frame->sheet()->outcomeText().toStdString(), outcome);
        const std::vector<std::string> prompts = parts.prompt->texts();
        ASSERT_EQ(prompts.size(), step.prompts.size()) << ::testing::PrintToString(prompts);
        for (std::size_t i = 0; i < prompts.size(); ++i) {
            if (step.prompts[i] == "*")
                EXPECT_FALSE(prompts[i].empty());
            else
                EXPECT_EQ(prompts[i], step.prompts[i]);
        }
        std::vector<std::string> expected;
        for (const std::string& name : step.differences)
            expected.push_back(controls::labelOf(*controls::findControl(name)));
        std::sort(listed.begin(), listed.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listed, expected);
        if (step.outcome.rfind("Restored", 0) != 0)
            continue;
        // The unit holds the file's values, and the panel shows the unit's.
        const sim::UnitSnapshot now = unit->snapshot();
        EXPECT_EQ(withoutVolume(now.paramValues, volumeId), withoutVolume(saved.paramValues, volumeId));
        for (std::size_t i = 0; i < now.inputNames.size(); ++i) // the file keeps no trailing blanks
            EXPECT_EQ(now.inputNames[i], saved.inputNames[i].substr(0, saved.inputNames[i].find_last_not_of(' ') + 1));
        EXPECT_EQ(now.customName, saved.customName);
        if (!step.differences.empty()) {
            EXPECT_EQ(now.customNameShown, step.nameShown) << "the custom name's display switch";
        }
        DeviceModel& model = *frame->model();
        EXPECT_TRUE(pumpUntil(10s, [&] {
            return !frame->control()->state().StatusSweepActive &&
                   model.paramValues()[static_cast<std::size_t>(bassId)] ==
                       saved.paramValues[static_cast<std::size_t>(bassId)];
        })) << "the panel still shows bass " << int(model.paramValues()[static_cast<std::size_t>(bassId)]);
    }
    frame->close();
    EXPECT_EQ(unit->strictViolations(), 0u);
    if (way.service) {
        // Each restore and comparison that reached the service was one request
        // of its own.
        int restores = 0;
        int diffs = 0;
        for (const std::string& line : rig.logLines()) {
            restores += line.find("json: restore") != std::string::npos;
            diffs += line.find("json: diff") != std::string::npos;
        }
        EXPECT_EQ(restores, 5);
        EXPECT_EQ(diffs, 3);
    }
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

INSTANTIATE_TEST_SUITE_P(BothWays, PanelRestore,
                         ::testing::Values(Way{"the unit's own port", false}, Way{"through the service", true}),
                         [](const auto& info) { return info.param.service ? "ThroughService" : "OwnPort"; });

} // namespace
} // namespace bm::test
