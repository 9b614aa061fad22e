// RestoreConfiguration: writes a configuration file's input names, custom name
// and system parameter values back into a unit of the same identity.
#pragma once

namespace bm {

class DeviceModel;
class Prompt;
struct ConfigFileContents;

// `file` is a configuration as loadConfigFile (or parseConfigFile) accepted
// it. Runs on the user-interface thread and blocks until done. True when the
// names and the values were written and acknowledged. On false the caller
// shows "Failed to restore configuration!"; the messages naming the cause come
// first, from here. A file of another identity fails before anything is sent.
bool RestoreConfiguration(DeviceModel& model, Prompt& prompt, const ConfigFileContents& file);

} // namespace bm
