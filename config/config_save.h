// SaveConfiguration: asks the unit for its identity, names, parameter values and
// effect parameter values in turn, catching the answers through the capture
// queue, and writes them as a configuration file.
#pragma once

namespace bm {

class ConfigFileWriter;
class DeviceModel;
class Prompt;

// Runs on the user-interface thread and blocks until done. `file` must be
// open. True when the whole file was written and has replaced its target,
// "Save Successful!" was shown and a status sweep was started; false otherwise,
// with no message of its own (the caller reports the failure) and the target
// untouched.
bool SaveConfiguration(DeviceModel& model, ConfigFileWriter& file, Prompt& prompt);

} // namespace bm
