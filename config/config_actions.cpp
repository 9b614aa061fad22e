// Save Config and Restore Config: dialogs, files and messages around the save
// and the restore.
#include "config/config_actions.h"

#include "config/config_file.h"
#include "config/config_file_io.h"
#include "config/config_restore.h"
#include "config/config_save.h"
#include "platform/file_dialog.h"
#include "platform/prompt.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"

#include <optional>
#include <string>

namespace bm {

FileDialogRequest configFileRequest(FileDialogMode mode, const char* title, SettingsStore& settings)
{
    FileDialogRequest request;
    request.mode = mode;
    request.title = title;
    request.filters = {{"Ridaziv Configuration Files (*.lex)", "*.lex"}, {"All Files", "*.*"}};
    request.defaultExtension = "lex";
    request.initialFolder = settings.readString(keys::kRoot, keys::kLastVisited, "");
    request.confirmOverwrite = mode == FileDialogMode::Save;
    request.fileMustExist = mode == FileDialogMode::Open;
    request.pathMustExist = true;
    request.hideReadOnly = true;
    return request;
}

void reportDialogError(Prompt& prompt, unsigned code)
{
    if (const char* name = FileDialogErrorName(code))
        prompt.ask(name);
}

// "LastVisited" holds at most 255 characters. A longer folder is cut back to
// its nearest enclosing folder that fits, so the value always names a real
// folder with its trailing separator rather than a cut-off, non-existent one.
void storeLastVisited(SettingsStore& settings, const std::string& path)
{
    std::string folder = folderOf(path);
    while (folder.size() > static_cast<std::size_t>(keys::kLastVisitedMaxLength))
        folder = folderOf(folder.substr(0, folder.size() - 1));
    settings.writeString(keys::kRoot, keys::kLastVisited, folder);
}

int SaveConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt, SettingsStore& settings)
{
    const FileDialogResult chosen =
        dialog.run(configFileRequest(FileDialogMode::Save, "Save Ridaziv Configuration", settings));
    if (!chosen.path) {
        reportDialogError(prompt, chosen.errorCode);
        return -1;
    }
    ConfigFileWriter file(*chosen.path);
    if (!file.open()) {
        prompt.ask("Cannot write " + *chosen.path + ": " + file.reason());
        prompt.ask("Failed to open file!");
        return 0;
    }
    storeLastVisited(settings, *chosen.path);
    if (!SaveConfiguration(model, file, prompt)) {
        prompt.ask("Failed to save configuration!");
        return 0; // leaving scope removes the temporary file of a failed save
    }
    return 1;
}

int RestoreConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt,
                         SettingsStore& settings)
{
    return RestoreConfigAction(model, dialog, prompt, settings,
                               [&](const std::string&, const ConfigFileContents& file) {
                                   return RestoreConfiguration(model, prompt, file);
                               });
}

int RestoreConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt, SettingsStore& settings,
                        const RestoreStep& restore)
{
    const FileDialogResult chosen =
        dialog.run(configFileRequest(FileDialogMode::Open, "Restore Ridaziv Configuration", settings));
    if (!chosen.path) {
        reportDialogError(prompt, chosen.errorCode);
        return -1;
    }
    std::string error;
    bool unreadable = false;
    const std::optional<ConfigFileContents> file = loadConfigFile(*chosen.path, error, &unreadable);
    if (unreadable) {
        prompt.ask(error);
        prompt.ask("Failed to open file!");
        return 0;
    }
    storeLastVisited(settings, *chosen.path);
    if (!file) {
        prompt.ask(error);
        prompt.ask("Failed to restore configuration!");
        return 0;
    }
    if (!restore(*chosen.path, *file)) {
        prompt.ask("Failed to restore configuration!");
        return 0;
    }
    return 1;
}

} // namespace bm
