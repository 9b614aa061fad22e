// Save and restore while the unit floods the line with its own reports
// (someone turning the volume knob): 40 of them ahead of every answer must not
// cost the answer, and a refusal or a missing answer still ends the operation.
#include "config/config_actions.h"
#include "config/config_file.h"
#include "config/config_restore.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace bm {
namespace {

using test::Bytes;

// The file the restore rows write: other names and values than the unit's.
ConfigFileContents otherConfiguration(const test::UnitDefinition& unit)
{
    ConfigFileContents file;
    file.header = ConfigFileHeader::make();
    std::copy(unit.config.begin(), unit.config.end(), file.header.unitConfig.begin());
    for (int i = 0; i < kInputCount; ++i) {
        const std::string name = "Flood " + std::to_string(i);
        file.header.setInputName(i, reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    }
    const std::string custom = "Knob Room";
    file.header.setCustomName(reinterpret_cast<const std::uint8_t*>(custom.data()), custom.size());
    for (std::size_t id = 0; id < unit.paramValues.size(); ++id)
        file.system.values.push_back(static_cast<std::uint8_t>((unit.paramValues[id] + 3) % 10));
    return file;
}

TEST(ConfigFlood, UnitsOwnReportsAheadOfEveryAnswerCostNothing)
{
    struct Row {
        const char* name;
        bool save;
        int refuse; // answered DC_NAK
        int ignore; // never answered
        std::string error; // "" when the operation succeeds
    };
    const Row rows[] = {
        {"save", true, -1, -1, ""},
        {"save, custom name never answered", true, -1, DC_CMD_GET_CUST_NAME, "-"},
        {"restore", false, -1, -1, ""},
        {"restore, a name never acknowledged", false, -1, DC_CMD_SET_INPUT_NAME,
         "Failed to restore configuration! no answer from the unit"},
        {"restore, custom name refused", false, DC_CMD_SET_CUST_NAME, -1,
         "Failed to restore configuration! Restore Customname Parameters Failed."},
    };
    // One row; an ASSERT ends the row, not the table.
    auto run = [](const Row& row) {
        test::TempFolder folder;
        ASSERT_TRUE(folder.ok());
        test::ScriptedUnit unit(test::smallUnit(12, 0));
        unit.start();
        test::ProgramRig program;
        test::seedDefinitionCache(program.settings, unit.unit());
        test::FastTiming timing = test::configTiming();
        timing.configWaitCount = 25; // the designed 25 x 20 ms
        timing.configWaitIntervalMs = 20;
        test::storeFastTiming(program.settings, timing);
        program.startOn(unit.port());
        ASSERT_TRUE(program.waitForStartup(15000));
        program.prompt.clear();
        const test::UnitDefinition before = unit.unit();
        const std::size_t sentBefore = unit.received().size();
        unit.setFlood(40, row.refuse, row.ignore);

        if (row.save) {
            ScriptedFileDialog dialog;
            dialog.scriptPath(folder.file("flood.lex"));
            SaveConfigAction(program.model, dialog, program.prompt, program.settings);
            if (row.error.empty()) {
                EXPECT_EQ(program.prompt.texts(), std::vector<std::string>{"Save Successful!"});
                const Bytes bytes = test::readFile(folder.file("flood.lex"));
                const std::optional<ConfigFileContents> saved = parseConfigFile(bytes.data(), bytes.size());
                ASSERT_TRUE(saved);
                EXPECT_EQ(saved->system.values, before.paramValues);
                for (int i = 0; i < kInputCount; ++i)
                    EXPECT_EQ(saved->header.inputNameText(i), before.inputNames[static_cast<std::size_t>(i)]);
                EXPECT_EQ(saved->header.customNameText(), before.customName);
            } else {
                EXPECT_EQ(program.prompt.texts(), std::vector<std::string>{"Failed to save configuration!"});
                EXPECT_TRUE(folder.entries().empty()) << "nothing half-written is left";
            }
        } else {
            const ConfigFileContents file = otherConfiguration(before);
            const RestoreRun run = restoreFromFile(program.model, file, nullptr, false);
            EXPECT_EQ(run.ok, row.error.empty());
            EXPECT_EQ(run.error, row.error);
            const test::UnitDefinition after = unit.unit();
            const std::vector<Bytes> sent = unit.received();
            const bool valuesSent =
                std::any_of(sent.begin() + static_cast<std::ptrdiff_t>(sentBefore), sent.end(),
                            [](const Bytes& p) { return p[2] == DC_CMD_SET_SYS_PARAM_VALUES; });
            EXPECT_EQ(valuesSent, row.error.empty()) << "a failure stops before the values";
            if (row.error.empty()) {
                EXPECT_EQ(after.paramValues, file.system.values);
                for (int i = 0; i < kInputCount; ++i)
                    EXPECT_EQ(after.inputNames[static_cast<std::size_t>(i)], file.header.inputNameText(i));
                EXPECT_EQ(after.customName, "Knob Room");
            }
        }
        EXPECT_FALSE(program.link->state().captureOn());
        program.link.reset();
        unit.stop();
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        run(row);
    }
}

} // namespace
} // namespace bm
