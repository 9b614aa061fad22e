// RestoreConfiguration: writes a configuration file's input names, custom name
// and system parameter values back into a unit of the same identity.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm {

class DeviceModel;
class Prompt;

// `file` holds the file's first bytes (at least restoreSizeFor(TotalParams)
// when the file is that long; kRestoreReadLimit is always enough) and `size`
// how many. Runs on the user-interface thread and blocks until done. True when
// the names and the values were written and acknowledged. On false the caller
// shows "Failed to restore configuration!"; the messages naming the cause come
// first, from here. A file too short for the connected unit, or of another
// identity, fails before anything is sent.
bool RestoreConfiguration(DeviceModel& model, Prompt& prompt, const std::uint8_t* file,
                          std::size_t size);

} // namespace bm
