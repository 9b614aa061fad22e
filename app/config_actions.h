// The Info page's "Save Config" and "Restore Config" buttons: the file dialog,
// the file, the save or restore, and every message they show.
#pragma once

namespace bm {

class DeviceModel;
class FileDialog;
class Prompt;
class SettingsStore;

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

} // namespace bm
