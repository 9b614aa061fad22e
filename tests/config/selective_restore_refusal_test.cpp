// A selective restore whose parameter write the model refuses (a value whose
// definition the program does not hold cannot be checked against its maximum,
// so nothing goes out) fails with the write's message: it is never counted as
// written or reported as done.
#include "config/config_actions.h"
#include "config/config_file.h"
#include "config/config_selective_restore.h"
#include "config_test_support.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::Bytes;

class SelectiveRestoreRefused : public test::SimUnitTest {
protected:
    int paramId(const std::string& name) const { return test::paramIdOf(sim->snapshot(), name); }
};

TEST_F(SelectiveRestoreRefused, ADefinitionMissingFromTheCacheFailsTheWriteAndCountsNothing)
{
    // The cache lost one maximum (a store edited by hand or cut short): the
    // program holds every definition but that one.
    std::string lost;
    startUnit({}, [&](SettingsStore&) {
        lost = settings().readString(keys::kCacheParamNames, "0x05", "");
        settings().remove(keys::kCacheParamMax, "0x05");
    });
    ASSERT_FALSE(lost.empty());
    ASSERT_FALSE(model().paramDefined(5));

    dialog.scriptPath(folder.file("unit.lex"));
    SaveConfigAction(model(), dialog, prompt(), settings());
    ASSERT_TRUE(waitForSweepEnd());
    const Bytes file = test::readFile(folder.file("unit.lex"));
    ASSERT_FALSE(file.empty());

    // The unit moves on; the file's speakers would put it back.
    ASSERT_TRUE(sim->command("set SUB_LOWPASS 3"));
    const int sub = paramId("SUB_LOWPASS");
    ASSERT_TRUE(test::waitUntil([&] { return sim->snapshot().paramValues[sub] == 3; }, 3000));
    model().StartStatusSweep();
    ASSERT_TRUE(waitForSweepEnd());
    sim->clearReceived();

    RestoreSelection selection;
    std::string error;
    ASSERT_TRUE(selectionFromNames(model(), {"SUB_LOWPASS"}, selection, error)) << error;
    int written = -1;
    const auto contents = parseConfigFile(file.data(), file.size());
    ASSERT_TRUE(contents);
    EXPECT_FALSE(RestoreSelected(model(), *contents, selection, false, written, error));
    EXPECT_EQ(error, "Set Sys Parameters Failed.");
    EXPECT_EQ(written, 0);
    for (std::uint8_t code : receivedCodes())
        EXPECT_NE(code, DC_CMD_SET_SYS_PARAM_VALUES) << "a write went out";
    EXPECT_EQ(sim->snapshot().paramValues[sub], 3);
    EXPECT_TRUE(captureOff());
}

} // namespace
} // namespace bm
