// The values brennmark-cli reads and writes by name: the well-known controls of
// the pages (volume, tone, output levels, speakers, names, ...) and every other
// system parameter by its name in the unit's definitions. Each control is read
// from the model and written with the command its page uses.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bm {
class DeviceModel;
}

namespace bm::cli {

class CliSession;

enum class ControlKind {
    Volume, Balance, FrontBack, Mute, Input, Effect,
    Bass, Treble, Tilt, Loudness,
    Zone2, Zone2Volume, Zone2Balance, Zone2Mute, RecordInput,
    Output,       // index: channel 0..7
    Speakers,     // index: SpeakerGroup
    InputName,    // index: input 0..7
    CustomName,
    Param,        // index: parameter id
};

struct Control {
    std::string name;
    ControlKind kind = ControlKind::Param;
    int index = 0;
};

// The well-known controls, in the order status and help list them.
std::vector<Control> wellKnownControls();

// A well-known name, or a parameter name of the definitions (those the pages
// control directly map to their control). Nothing for an unknown name.
std::optional<Control> findControl(const DeviceModel& model, const std::string& name);

// The control's value as its page shows it ("-20", "+0.5", "on", "DVD", "small-80").
std::string controlText(const DeviceModel& model, const Control& control);

// Writes `value` (page units) with the page's command, waits for the unit's
// confirmation and reads the unit back. An exit status; the reason in `error`.
int setControl(CliSession& session, const Control& control, const std::string& value, std::string& error);

// What a value of this control looks like, for help and errors.
std::string valueHint(const DeviceModel& model, const Control& control);

} // namespace bm::cli
