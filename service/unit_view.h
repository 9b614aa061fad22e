// What a remote face (the MQTT bridge) sees of the unit side: who the unit is,
// whether it answers, its controls with their current values, the unit's own
// reports as they come, and one entry for commands. The service implements it
// over its model and operation queue; the face never touches the line.
#pragma once

#include "link/vocabulary.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bm::service {

// Where the service stands with the unit (the panel's status line, in short).
enum class UnitLineState { Connected, Asleep, NotAnswering, Lost, Reconnecting };

// The line state's word (lineStateWord): "connected", "asleep",
// "not_answering", "lost", "reconnecting".
const char* unitLineText(UnitLineState line);

// One control of the controls table, as far as a remote face needs it: its
// name (as the CLI and the JSON API name it), how its value is written as text,
// and whether it can be set.
struct ControlView {
    enum class Form {
        Level,   // a number between minimum and maximum in steps of `step`, in `unit`
        Choice,  // one of `choices` ("DVD", "small-80")
        Switch,  // "on" or "off"; or choices[1] and choices[0] when there are two ("on", "standby")
        Text,    // a free text (names)
        Reading, // read only (the incoming data stream)
    };
    std::string name;  // "volume"
    std::string label; // "Volume"
    Form form = Form::Level;
    double minimum = 0;
    double maximum = 0;
    double step = 1;
    std::string unit; // "dB", empty for steps from centre
    std::vector<std::string> choices;
};

// The unit as it stands now. A control missing from `values` has not been read
// (nothing is reported for it as the unit's).
struct UnitSnapshot {
    std::string product; // "DE-1"; empty until the unit has been greeted
    std::string rom;     // the ROM's timestamp as the unit gives it
    UnitLineState line = UnitLineState::Lost;
    std::vector<ControlView> controls;
    std::map<std::string, std::string> values;
    std::string frontPanel[2];
    std::vector<std::string> remoteKeys; // the remote's keys offered as buttons ("VOLUME_UP")
};

// Something the unit side saw: a control's new value (a change the unit
// reported or a re-read found), new front-panel text, a new line state, or a
// new set of controls (another unit or ROM after a reconnect).
struct UnitEvent {
    enum class Kind { Value, FrontPanel, Line, Controls };
    Kind kind = Kind::Value;
    std::string name;  // Value: the control
    std::string value; // Value: its text
    std::string frontPanel[2];
    UnitLineState line = UnitLineState::Connected;
};

// What a remote face asks for: a control set to a value given as text, or a
// remote key pressed.
struct UnitCommand {
    enum class Kind { Set, Key };
    Kind kind = Kind::Set;
    std::string name;  // the control, or the key
    std::string value; // Set: the value as the control's state writes it
};

// How a command ended, in the one outcome every face words alike: Done or
// Unchanged when the unit took it, Invalid when the name or value did not pass
// the check (nothing was sent), anything else when it was sent and failed.
struct CommandOutcome {
    bm::Outcome result = bm::Outcome::NotAnswered;
    std::string text; // the value the unit then reports, or the reason
};

class UnitView {
public:
    using Listener = std::function<void(const UnitEvent&)>;
    using Done = std::function<void(const CommandOutcome&)>;

    virtual ~UnitView() = default;

    virtual UnitSnapshot snapshot() const = 0;

    // One listener; an empty one ends the reports. Called on the unit side's own
    // thread, so it must return at once; no call runs after the empty one was set.
    virtual void setListener(Listener listener) = 0;

    // Checks the command as the CLI checks it; a bad one is refused at once,
    // with nothing sent. Otherwise it joins the operation queue and `done` is
    // called, from any thread, with the outcome. Never waits for the unit.
    virtual void command(const UnitCommand& command, Done done) = 0;
};

inline const char* unitLineText(UnitLineState line)
{
    switch (line) {
    case UnitLineState::Connected: return lineStateWord(LineState::Connected);
    case UnitLineState::Asleep: return lineStateWord(LineState::Asleep);
    case UnitLineState::NotAnswering: return lineStateWord(LineState::NotAnswering);
    case UnitLineState::Lost: return lineStateWord(LineState::Lost);
    case UnitLineState::Reconnecting: return lineStateWord(LineState::Reconnecting);
    }
    return lineStateWord(LineState::Lost);
}

} // namespace bm::service
