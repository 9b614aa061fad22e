// The panel's restore and comparison when its line is brennmarkd's: the file
// goes whole as the service's restore (or diff) request, which the service
// runs as one job of its line, so no other client's request comes between
// its packets. The request runs on a thread of its own while the interface
// thread keeps pumping (the windows stay painted, the wait cursor stays up). The service reads the unit
// again after every restore, and its answers reach the panel's model as the
// unit's reports do, so the pages show what the unit holds.
#pragma once

#include "config/config_diff.h"

#include <optional>
#include <string>
#include <vector>

namespace bm {

class DeviceModel;
class Prompt;
struct ConfigFileContents;
struct RestoreSelection;

// What the service said of a restore.
struct ServiceRestoreOutcome {
    bool ok = false;
    // The cause of a failure, without "Failed to restore configuration!":
    // the service's own words, or why it could not be asked.
    std::string reason;
    // What a restore that went through said (values the unit clamped).
    std::vector<std::string> notes;
    // A selective restore: the names and parameters that changed.
    int written = -1;
};

// The words of the service's selective restore ("only") for `selection`:
// "input-name-N", "custom-name" and each parameter's definition name.
std::vector<std::string> restoreWords(const DeviceModel& model, const RestoreSelection& selection);

// Sends the file at `path` to the service `device` names, whole or (with
// `only`) the named controls and parameters, and waits for its answer,
// pumping `model`'s link between slices. `customNameShown`, when given, is
// the display switch a restored custom name goes with (the panel's own
// setting); otherwise the service's setting decides.
ServiceRestoreOutcome askServiceRestore(DeviceModel& model, const std::string& device, const std::string& path,
                                        const std::vector<std::string>* only = nullptr,
                                        std::optional<bool> customNameShown = std::nullopt);

// What the service said of a comparison of a file with the unit.
struct ServiceDiffOutcome {
    bool ok = false;
    // Why nothing was compared: the reason as the panel's own read of the
    // unit gives it, or why the service could not be asked.
    std::string reason;
    // A file of another ROM: the comparison's refusal ("different ROM
    // timestamps"); reason is empty then.
    std::string refusal;
    // Side A the file, side B the unit; a and b are the UTF-8 text forms.
    std::vector<ConfigDifference> differences;
};

// The service's diff of the file at `path` against the unit: one request,
// which the service answers from one read of the unit on its line, so no
// other client's request comes between its packets.
ServiceDiffOutcome askServiceDiff(DeviceModel& model, const std::string& device, const std::string& path);

// The Restore Config step through the service: the file's identity is checked
// here first (nothing is sent from a file of another unit), then the service
// restores it; the causes and notes are shown as RestoreConfiguration shows
// them on the unit's own port. True when the unit took the file.
bool RestoreThroughService(DeviceModel& model, Prompt& prompt, const std::string& device, const std::string& path,
                           const ConfigFileContents& file);

} // namespace bm
