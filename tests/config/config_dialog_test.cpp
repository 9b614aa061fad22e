// The Save Config and Restore Config actions around their dialogs: what the
// dialogs are asked, cancel and dialog errors, and "LastVisited".
#include "config/config_actions.h"
#include "config_test_support.h"
#include "tests/support/fifo_watchdog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace bm {
namespace {

using Texts = std::vector<std::string>;

class ConfigDialogs : public test::SimUnitTest {};

TEST_F(ConfigDialogs, RequestsCarryTitleFiltersExtensionFolderAndOptions)
{
    startUnit();
    settings().writeString("", "LastVisited", folder.folder());
    dialog.scriptCancel();
    dialog.scriptCancel();
    SaveConfigAction(model(), dialog, prompt(), settings());
    RestoreConfigAction(model(), dialog, prompt(), settings());

    ASSERT_EQ(dialog.requests().size(), 2u);
    const FileDialogRequest& save = dialog.requests()[0];
    const FileDialogRequest& open = dialog.requests()[1];
    EXPECT_EQ(save.mode, FileDialogMode::Save);
    EXPECT_EQ(save.title, "Save Ridaziv Configuration");
    EXPECT_TRUE(save.confirmOverwrite);
    EXPECT_FALSE(save.fileMustExist);
    EXPECT_EQ(open.mode, FileDialogMode::Open);
    EXPECT_EQ(open.title, "Restore Ridaziv Configuration");
    EXPECT_TRUE(open.fileMustExist);
    EXPECT_FALSE(open.confirmOverwrite);
    for (const FileDialogRequest* r : {&save, &open}) {
        ASSERT_EQ(r->filters.size(), 2u);
        EXPECT_EQ(r->filters[0].description, "Ridaziv Configuration Files (*.lex)");
        EXPECT_EQ(r->filters[0].pattern, "*.lex");
        EXPECT_EQ(r->filters[1].description, "All Files");
        EXPECT_EQ(r->filters[1].pattern, "*.*");
        EXPECT_EQ(r->defaultExtension, "lex");
        EXPECT_EQ(r->initialFolder, folder.folder());
        EXPECT_TRUE(r->pathMustExist);
        EXPECT_TRUE(r->hideReadOnly);
    }
}

TEST_F(ConfigDialogs, CancelChangesNothing)
{
    startUnit();
    const std::uint32_t sentBefore = link().state().CommandsSent.load();
    dialog.scriptCancel();
    SaveConfigAction(model(), dialog, prompt(), settings());
    dialog.scriptCancel();
    RestoreConfigAction(model(), dialog, prompt(), settings());

    EXPECT_EQ(prompt().texts(), Texts{});
    EXPECT_FALSE(settings().contains("", "LastVisited"));
    EXPECT_EQ(link().state().CommandsSent.load(), sentBefore);
    EXPECT_TRUE(sim->receivedPackets().empty());
    EXPECT_TRUE(folder.entries().empty());
}

TEST_F(ConfigDialogs, DialogErrorsAreNamedUnlessUnknown)
{
    startUnit();
    dialog.scriptError(0x3002);
    SaveConfigAction(model(), dialog, prompt(), settings());
    dialog.scriptError(0x0009);
    RestoreConfigAction(model(), dialog, prompt(), settings());
    dialog.scriptError(0x1234);
    SaveConfigAction(model(), dialog, prompt(), settings());

    EXPECT_EQ(prompt().texts(), (Texts{"FNERR_INVALIDFILENAME", "CDERR_MEMALLOCFAILURE"}));
    EXPECT_FALSE(settings().contains("", "LastVisited"));
    EXPECT_TRUE(sim->receivedPackets().empty());
}

// A path that cannot be read is refused at once, naming it and the reason; a
// FIFO with no writer does not hold the panel.
TEST_F(ConfigDialogs, WhatCannotBeReadIsRefusedAtOnce)
{
    startUnit();
    settings().writeString("", "LastVisited", "/kept/");
    ASSERT_EQ(::mkfifo(folder.file("fifo.lex").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> rows = {
        {folder.file("absent.lex"), "No such file or directory"},
        {folder.file("fifo.lex"), "not a regular file"},
        {folder.folder(), "not a regular file"}};
    for (const auto& [path, reason] : rows) {
        prompt().clear();
        test::FifoWatchdog watchdog(folder.file("fifo.lex"));
        dialog.scriptPath(path);
        EXPECT_EQ(RestoreConfigAction(model(), dialog, prompt(), settings()), 0);
        EXPECT_FALSE(watchdog.stop()) << "the restore waited on " << path;
        EXPECT_EQ(prompt().texts(), (Texts{"Cannot read " + path + ": " + reason, "Failed to open file!"}));
    }
    EXPECT_EQ(settings().readString("", "LastVisited", ""), "/kept/");
    EXPECT_TRUE(sim->receivedPackets().empty());
}

// "LastVisited" keeps at most 255 characters: a deeper folder is remembered as
// its nearest enclosing folder that fits, always with its trailing separator.
TEST_F(ConfigDialogs, LastVisitedOfALongFolderIsItsNearestFittingParent)
{
    startUnit();
    std::string deep = folder.folder();
    std::vector<std::string> levels;
    while (deep.size() <= 300) {
        deep += std::string(40, 'd') + "/";
        levels.push_back(deep);
    }
    std::filesystem::create_directories(deep);
    std::string fitting;
    for (const std::string& level : levels)
        if (level.size() <= 255)
            fitting = level;
    ASSERT_FALSE(fitting.empty());

    dialog.scriptPath(deep + "unit.lex");
    SaveConfigAction(model(), dialog, prompt(), settings());
    EXPECT_EQ(prompt().texts(), Texts{"Save Successful!"});
    EXPECT_TRUE(std::filesystem::exists(deep + "unit.lex"));
    const std::string stored = settings().readString("", "LastVisited", "");
    EXPECT_EQ(stored, fitting);
    EXPECT_LE(stored.size(), 255u);

    // The next dialog starts there; a short folder is stored as it is.
    EXPECT_TRUE(waitForSweepEnd());
    dialog.scriptPath(folder.file("short.lex"));
    SaveConfigAction(model(), dialog, prompt(), settings());
    ASSERT_EQ(dialog.requests().size(), 2u);
    EXPECT_EQ(dialog.requests()[1].initialFolder, fitting);
    EXPECT_EQ(settings().readString("", "LastVisited", ""), folder.folder());
}

} // namespace
} // namespace bm
