// The Info page's "Save Config" and "Restore Config" buttons: the file dialog,
// the file, the save or restore, and every message they show.
#pragma once

#include "platform/file_dialog.h"

#include <functional>
#include <string>

namespace bm {

class DeviceModel;
class FileDialog;
class Prompt;
class SettingsStore;
struct ConfigFileContents;

// The file dialog of the configuration files: "*.lex" and "All Files",
// default extension "lex", starting in "LastVisited".
FileDialogRequest configFileRequest(FileDialogMode mode, const char* title, SettingsStore& settings);
// A file dialog's error by its name; cancelling (code 0) and codes without a
// name report nothing.
void reportDialogError(Prompt& prompt, unsigned code);
// The chosen file's folder as "LastVisited" (cut back to a folder that fits).
void storeLastVisited(SettingsStore& settings, const std::string& path);

// Save dialog, then SaveConfiguration into the chosen file. The folder goes to
// "LastVisited" once the file could be created. A file being replaced stays
// byte for byte as it was unless the save succeeds. 1 saved, 0 failed (a
// message was shown), -1 no file was chosen.
int SaveConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt, SettingsStore& settings);

// Open dialog, then RestoreConfiguration from the chosen file. The folder goes
// to "LastVisited" once the file could be opened. Only failures are reported.
// 1 restored, 0 failed (a message was shown), -1 no file was chosen.
int RestoreConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt,
                         SettingsStore& settings);

// The same with another restore in RestoreConfiguration's place (the panel's
// through brennmarkd): it gets the chosen path and the file as the loader
// accepted it, says its causes through the prompt as RestoreConfiguration
// does, and returns true when the unit took the file.
using RestoreStep = std::function<bool(const std::string& path, const ConfigFileContents& file)>;
int RestoreConfigAction(DeviceModel& model, FileDialog& dialog, Prompt& prompt, SettingsStore& settings,
                        const RestoreStep& restore);

} // namespace bm
