// The controls: one table of every value a user reads or sets by name
// (volume, tone, output levels, speakers, names, power, effect, ...), each with
// its unit, range, text form, JSON form, how it is read from the unit and how
// it is set. Every face uses it: brennmark-cli's status, get, set, watch, diff
// and JSON, the service and the MQTT bridge. The definition names of the
// unit's system parameters stay accepted: as aliases of the controls that show
// the same value, and on their own for parameters no control names.
//
// Values use the pages' units: volume in dB (-80..+12), balances in steps,
// bass and treble -6.0..+6.0 in 0.5 steps, tilt -3.0..+3.0 in 0.2 steps, output
// levels in dB in half steps, switches on/off, inputs by their fixed name, the
// unit's own input name or the number the panel gives them (1 Tape .. 8 VCR).
//
// Standard library only.
#pragma once

#include "link/vocabulary.h"
#include "model/records.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bm {
class DeviceModel;
struct LevelScale;
} // namespace bm

namespace bm::controls {

enum class Kind {
    // Read only.
    Product, Rom, Stream, Display1, Display2,
    // Status and direct controls.
    Power, Volume, Balance, FrontBack, Mute, Input, Effect,
    Bass, Treble, Tilt, Loudness,
    Zone2, Zone2Volume, Zone2Balance, Zone2Mute, RecordInput,
    Output,     // index: output channel 0..7
    Speakers,   // index: speaker group (front, center, side size, side type, rear, subwoofer)
    CustomName,
    InputName,  // index: input 0..7
    Param,      // a parameter no control names; index: its id
};

// How a value is typed in JSON: a number, true/false, or a string.
enum class Type { Number, Switch, Choice, Text };

// Where the unit's value comes from: the answer that must have been read in
// this run before the value may be shown as the unit's.
enum class Source {
    UnitConfig,   // DC_RESP_UNIT_CONFIG (product, ROM)
    SysStatus,    // DC_RESP_SYS_STATUS
    Zone2Status,  // DC_RESP_REC_ZONE2_STATUS
    ParamValues,  // DC_RESP_SYS_PARAM_VALUES (and the parameter's definition)
    CustomName,   // DC_RESP_CUST_NAME
    InputName,    // DC_RESP_INPUT_NAME for the control's index
    FrontPanel,   // DC_FPD
};

// How a value is set: the operation the panel uses for it.
enum class Setter {
    ReadOnly,
    Direct,     // a direct command (volume, balances, mute, output levels), acknowledged
    IrKey,      // an IR key (input, record input, zone 2, loudness, zone 2 mute, power, effect)
    ToneSteps,  // stepped with IR keys against the unit's reports (bass, treble, tilt)
    SysParams,  // the unit's parameters read, one changed, all written (speakers, parameters)
    Name,       // a name command (custom name, input names)
};

struct Control {
    std::string name;      // "volume"; for a bare parameter its definition name
    Kind kind = Kind::Param;
    int index = 0;         // channel, speaker group, input, or parameter id
    std::string alias;     // the definition name of the same value ("VOLUME"), or ""
    std::string unit;      // "dB", "steps", "" (shown in the table)
    Type type = Type::Number;
    Source source = Source::ParamValues;
    Setter setter = Setter::ReadOnly;
};

// A control's value. `raw` is the unit's byte for levels and switches, the
// choice number for speakers, the input index (0..7), the effect id, 1 on / 0
// standby for power; `text` is the value of names and read-only texts, UTF-8.
struct Value {
    int raw = 0;
    std::string text;
    bool operator==(const Value&) const = default;
};

// A value as the user wrote it: absolute, or a relative change of a level in
// raw steps ("+=2" on volume is +2, "-=0.5" on bass is -1).
struct Request {
    enum class Form { Absolute, Relative };
    Form form = Form::Absolute;
    Value value; // absolute
    int delta = 0; // relative, in raw steps
};

// A JSON scalar, as the service and the MQTT bridge pass values.
using JsonScalar = std::variant<std::nullptr_t, bool, long long, double, std::string>;

// --- The table ----------------------------------------------------------------

// Every named control, in the order status shows them.
const std::vector<Control>& controlTable();

// A control by name or alias (case-sensitive names, aliases as the unit spells
// them), or, given the model's definitions, a parameter by its definition name.
// With `model` null only the table is searched.
std::optional<Control> findControl(std::string_view name, const DeviceModel* model = nullptr);

// The controls that show parameter `id` of the model (watch: a change message
// of VOLUME is the control volume; a bare parameter when no control shows it).
std::vector<Control> controlsOfParam(const DeviceModel& model, std::uint8_t id);
// A speaker control's choice from parameter values alone (a configuration
// file's), -1 where they give none; and the parameters its set writes.
int speakerChoiceOf(const Control& control, const NamedParamValue& value);
std::vector<NamedParam> speakerParamsOf(const Control& control);

// Raw range of a level, switch or choice control, and the text limit of a name
// (characters). For a Param the model's definition gives the maximum.
struct Range {
    int minimum = 0;
    int maximum = 0;
};
// The level scale of a level control's kind (model/levels.h); null for others.
const LevelScale* scaleOf(Kind kind);

std::optional<Range> rangeOf(const Control& control, const DeviceModel* model = nullptr);

// How the panel's pages lay a control out: the page it is on ("General",
// "Speaker Config", ...; "Info" for what is only shown), the step of a level
// in its unit (1 dB, 0.5 dB, 0.2 dB; 0 for the rest), and the choices of a
// choice control the table knows (speakers, the inputs' fixed names; the
// effects are the unit's own).
struct Layout {
    std::string group;
    double step = 0;
    std::vector<std::string> choices;
};
Layout layoutOf(const Control& control);
// The effects the unit names and has a key for, in its order: the effect
// control's choices.
std::vector<std::string> effectChoices(const DeviceModel& model);

// What values look like ("dB, -80 to +12", "on or off", "at most 8 characters").
std::string valueHint(const Control& control, const DeviceModel* model = nullptr);

// --- Text and JSON forms ----------------------------------------------------------

// The text form as the pages show it: "-20", "+0.5", "on", "DVD", "small-80".
// Names come as they are (UTF-8); escape them with escapeControlCharacters
// before writing them to a terminal.
std::string formatText(const Control& control, const Value& value);
// The JSON form: numbers as numbers, switches as booleans, the rest strings.
JsonScalar formatJson(const Control& control, const Value& value);

// Reads a value's text: the text form, "+=N"/"-=N" for levels, inputs by
// number or name. Checks the range of absolute values. With `model` (the
// unit's definitions and names read) everything is checked; without it, what
// needs the unit (custom input names, effect names, parameter maxima) is left
// to resolve(). Nothing, with `error`, for a value the control does not take.
std::optional<Request> parseRequest(const Control& control, std::string_view text,
                                    const DeviceModel* model, std::string& error);
// The same from a JSON scalar (a string is read as text).
std::optional<Request> parseJson(const Control& control, const JsonScalar& json,
                                 const DeviceModel* model, std::string& error);
// The absolute value a request asks for, given the unit's current value;
// range-checked. Nothing, with `error`, when it is out of range.
std::optional<Value> resolve(const Control& control, const Request& request, const Value& current,
                             const DeviceModel& model, std::string& error);

// --- Names in the unit's character set ----------------------------------------------

// The unit stores names as 8-bit ISO-8859-1 characters. UTF-8 to the unit's
// bytes: nothing, with `error`, for invalid UTF-8, a character the unit cannot
// store, a control character, or more than `limit` characters.
std::optional<std::string> toUnitText(std::string_view utf8, std::size_t limit, std::string& error);
// The unit's bytes as UTF-8.
std::string fromUnitText(std::string_view unitBytes);
// The two front-panel lines of a DC_FPD report's data (21 bytes each, ended
// by a NUL or blank-padded) as UTF-8, trailing blanks cut.
std::array<std::string, 2> displayLines(const std::uint8_t* data, std::size_t length);
// Control characters (C0, DEL, C1) shown as \n, \t, \e, \xNN; backslash as \\.
std::string escapeControlCharacters(std::string_view utf8);

// --- IR keys ---------------------------------------------------------------------

// The unit's IR keys by name (INPUT_DVD, ON, OFF, EFFECT_THX, ZONE2_MUTE,
// BASS_UP, ...), case-insensitive.
std::optional<std::uint8_t> irKeyCode(std::string_view name);
std::vector<std::string> irKeyNames();
// The effect key whose General page button names the effect `effectName` of
// the unit ("THX Cinema": EFFECT_THX), or nothing.
std::optional<std::uint8_t> effectKeyOfName(std::string_view effectName);

// --- Reading -----------------------------------------------------------------------

// What this run has read from the unit. Fed with every answer the link routes
// to the model (code and first data byte), on the link's reader thread; read on
// any thread. A line loss or a DC_WAKEUP does not clear it: a value stays
// "read" with its last answer.
class ReadLog {
public:
    void noteAnswer(std::uint8_t code, std::uint8_t firstDataByte);
    void noteFrontPanel();
    bool has(Source source, int index = 0) const;

private:
    std::atomic<unsigned> bits_{0};       // by Source
    std::atomic<unsigned> inputNames_{0}; // by input index
};

// The control's value as the model holds it, only when read in this run;
// otherwise nothing, with `missing` naming the answer not read.
std::optional<Value> readValue(const DeviceModel& model, const Control& control, const ReadLog& log,
                               std::string& missing);

// --- Setting -----------------------------------------------------------------------

// How a set ended: the one outcome every face words from its table
// (outcomeWord, outcomeText). A set ends Done, Unchanged, Refused, NotAnswered,
// LineLost, Mismatch or Invalid.
using Outcome = bm::Outcome;

struct SetResult {
    Outcome outcome = Outcome::Invalid;
    std::string error;    // why, for anything but Done and Unchanged
    Value after;          // what the unit reports afterwards (when it could be read)
    bool afterRead = false;
};

// The owner of the line, as a set needs it. The exchange itself (send with the
// answer routed back, wait for the acknowledgement) is the owner's, so that
// every face shares the one line the way its owner does.
class LineHost {
public:
    virtual ~LineHost() = default;
    virtual DeviceModel& model() = 0;
    virtual const ReadLog& readLog() const = 0;
    // Sends with `send` and waits for the acknowledgement of `command` or a refusal.
    virtual Outcome exchange(std::uint8_t command, const std::function<void()>& send, std::string& error) = 0;
    // Reads the unit's parameters, applies `change` (returns < 0 when it
    // cannot), writes them all back.
    virtual Outcome writeParams(const std::function<int()>& change, std::string& error) = 0;
    // Keeps the link's timers and notifications running until `done` or `limitMs`.
    virtual bool waitFor(const std::function<bool()>& done, int limitMs) = 0;
    // A tone step refused or not answered (the link asked to retry).
    virtual bool stepFailed() const = 0;
    // Reads the unit's status again (a sweep); false when it did not end.
    virtual bool reread() = 0;
    // The custom name's display switch as the Names page keeps it.
    virtual bool customNameShown() const = 0;
    virtual bool lineLost() const = 0;
    // The next direct command's new value comes back in the unit's report of
    // parameter `param` (nothing: no report is waited for). A host that takes
    // that report as the read-back reads the whole status again only when
    // the report did not come.
    virtual void expectReport(std::optional<std::uint8_t> param) { (void)param; }
};

// Sets `target` (already resolved and range-checked) with the panel's
// operation, then reads the unit back: a value that differs is Mismatch.
// A tone ramp cut short says in `error` how far it got.
SetResult setValue(LineHost& host, const Control& control, const Value& target);

} // namespace bm::controls
