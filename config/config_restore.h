// RestoreConfiguration: writes a configuration file's input names, custom name
// and system parameter values back into a unit of the same identity.
#pragma once

#include <string>
#include <vector>

namespace bm {

class DeviceModel;
class Prompt;
struct ConfigFileContents;
struct RestoreSelection;

// `file` is a configuration as loadConfigFile (or parseConfigFile) accepted
// it. Runs on the user-interface thread and blocks until done. True when the
// names and the values were written and acknowledged. On false the caller
// shows "Failed to restore configuration!"; the messages naming the cause come
// first, from here. A file of another identity fails before anything is sent.
bool RestoreConfiguration(DeviceModel& model, Prompt& prompt, const ConfigFileContents& file);

// Why `file` cannot go to the unit `model` describes (another identity, no
// values for it), as RestoreConfiguration says it; null when it can.
const char* restoreRefusal(const DeviceModel& model, const ConfigFileContents& file);

// A restore as brennmark-cli and the service run it: the whole file
// (RestoreConfiguration), or only `selection` when given (RestoreSelected,
// with `customNameShown` as the custom name's display switch). What the
// restore says is kept instead of shown.
struct RestoreRun {
    bool ok = false;
    // "Failed to restore configuration! CAUSE" when not ok.
    std::string error;
    // What a whole restore that went through said (values the unit clamped).
    std::vector<std::string> notes;
    // A selective restore: the names and parameters that changed (-1 whole).
    int written = -1;
};
RestoreRun restoreFromFile(DeviceModel& model, const ConfigFileContents& file, const RestoreSelection* selection,
                           bool customNameShown);

} // namespace bm
