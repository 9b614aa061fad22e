// Controls by name. Direct commands, IR keys and name commands are sent with
// the capture on, so the unit's acknowledgement or refusal comes back here and
// a refusal is never retried; tone steps run through the model's stepping,
// which needs the unit's own reports routed; parameter writes read the unit's
// values first and change only the one asked for.
#include "cli/cli_controls.h"

#include "config/config_units.h"
#include "cli/cli_session.h"
#include "link/capture_scope.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "model/levels.h"
#include "platform/settings_keys.h"

#include <algorithm>
#include <array>
#include <functional>

namespace bm::cli {
namespace {

enum SpeakerGroup { Front, Center, Rear, SideSize, SideType, Subwoofer };

struct SpeakerControl {
    const char* name;
    SpeakerGroup group;
    std::vector<const char*> choices; // by choice number
};

const std::vector<SpeakerControl>& speakerControls()
{
    static const std::vector<SpeakerControl> table = {
        {"front-speakers", Front, {"small-120", "small-80", "small-40", "large"}},
        {"center-speaker", Center, {"none", "small-120", "small-80", "small-40", "large"}},
        {"side-speakers", SideSize, {"none", "small-120", "small-80", "small-40", "large"}},
        {"side-type", SideType, {"standard", "dipole"}},
        {"rear-speakers", Rear, {"none", "small-120", "small-80", "small-40", "large"}},
        {"subwoofer", Subwoofer, {"none", "120", "80", "40"}},
    };
    return table;
}

struct NamedControl {
    const char* name;
    ControlKind kind;
    int index;
    const char* paramName; // the definition name the same value has, or nullptr
};

constexpr NamedControl kControls[] = {
    {"volume", ControlKind::Volume, 0, "VOLUME"},
    {"balance", ControlKind::Balance, 0, "LR_BALANCE"},
    {"front-back", ControlKind::FrontBack, 0, nullptr},
    {"mute", ControlKind::Mute, 0, "MUTE"},
    {"input", ControlKind::Input, 0, "INPUT"},
    {"effect", ControlKind::Effect, 0, nullptr},
    {"bass", ControlKind::Bass, 0, "BASS"},
    {"treble", ControlKind::Treble, 0, "TREBLE"},
    {"tilt", ControlKind::Tilt, 0, "TILT"},
    {"loudness", ControlKind::Loudness, 0, "LOUDNESS"},
    {"zone2", ControlKind::Zone2, 0, "RECORD_ENABLED"},
    {"zone2-volume", ControlKind::Zone2Volume, 0, "Z2_VOL"},
    {"zone2-balance", ControlKind::Zone2Balance, 0, "Z2_BAL"},
    {"zone2-mute", ControlKind::Zone2Mute, 0, "Z2_MUTE"},
    {"record-input", ControlKind::RecordInput, 0, nullptr},
    {"out-center", ControlKind::Output, 0, "OUT_ADJ_CENTER"},
    {"out-sub", ControlKind::Output, 1, "OUT_ADJ_SUB"},
    {"out-front-l", ControlKind::Output, 2, "OUT_ADJ_FRONT_L"},
    {"out-front-r", ControlKind::Output, 3, "OUT_ADJ_FRONT_R"},
    {"out-side-l", ControlKind::Output, 4, "OUT_ADJ_SIDE_L"},
    {"out-side-r", ControlKind::Output, 5, "OUT_ADJ_SIDE_R"},
    {"out-rear-l", ControlKind::Output, 6, "OUT_ADJ_REAR_L"},
    {"out-rear-r", ControlKind::Output, 7, "OUT_ADJ_REAR_R"},
    {"front-speakers", ControlKind::Speakers, Front, nullptr},
    {"center-speaker", ControlKind::Speakers, Center, nullptr},
    {"side-speakers", ControlKind::Speakers, SideSize, nullptr},
    {"side-type", ControlKind::Speakers, SideType, nullptr},
    {"rear-speakers", ControlKind::Speakers, Rear, nullptr},
    {"subwoofer", ControlKind::Speakers, Subwoofer, nullptr},
    {"custom-name", ControlKind::CustomName, 0, nullptr},
    {"input-name-1", ControlKind::InputName, 0, nullptr},
    {"input-name-2", ControlKind::InputName, 1, nullptr},
    {"input-name-3", ControlKind::InputName, 2, nullptr},
    {"input-name-4", ControlKind::InputName, 3, nullptr},
    {"input-name-5", ControlKind::InputName, 4, nullptr},
    {"input-name-6", ControlKind::InputName, 5, nullptr},
    {"input-name-7", ControlKind::InputName, 6, nullptr},
    {"input-name-8", ControlKind::InputName, 7, nullptr},
};

// Raw ranges of the level controls: unit, highest raw value (the pages' scales).
struct Level {
    ValueUnit unit;
    int maximum;
};

std::optional<Level> levelOf(ControlKind kind)
{
    switch (kind) {
    case ControlKind::Volume:
    case ControlKind::Zone2Volume: return Level{ValueUnit::Volume, kVolumeScale.maximum};
    case ControlKind::Balance:
    case ControlKind::Zone2Balance: return Level{ValueUnit::Balance, kBalanceScale.maximum};
    case ControlKind::FrontBack: return Level{ValueUnit::Balance, kFrontBackScale.maximum};
    case ControlKind::Bass:
    case ControlKind::Treble: return Level{ValueUnit::Tone, kToneScale.maximum};
    case ControlKind::Tilt: return Level{ValueUnit::Tilt, kTiltScale.maximum};
    case ControlKind::Output: return Level{ValueUnit::OutputLevel, kOutputScale.maximum};
    case ControlKind::Mute:
    case ControlKind::Loudness:
    case ControlKind::Zone2:
    case ControlKind::Zone2Mute: return Level{ValueUnit::Switch, 1};
    case ControlKind::Input:
    case ControlKind::RecordInput: return Level{ValueUnit::Input, kInputCount - 1};
    default: return std::nullopt;
    }
}

// "-80 to +12": the texts of a level's lowest and highest raw values.
std::string rangeText(ControlKind kind)
{
    const Level level = *levelOf(kind);
    return valueText(level.unit, 0) + " to " + valueText(level.unit, static_cast<std::uint8_t>(level.maximum));
}

// Every SpeakerGroup has its row.
const SpeakerControl& speakerOf(int group)
{
    return *std::find_if(speakerControls().begin(), speakerControls().end(),
                         [group](const SpeakerControl& s) { return s.group == group; });
}

int speakerChoice(const DeviceModel& m, int group)
{
    switch (group) {
    case Front: return m.GetFrontSpeakers();
    case Center: return m.GetCenterSpeaker();
    case Rear: return m.GetRearSpeakers();
    case SideSize: return m.GetSideSpeakers();
    case SideType: {
        const int t = m.GetSideDipole();
        return t < 0 ? -1 : (t == 16 ? 1 : 0);
    }
    default: return m.GetSubwoofer();
    }
}

int setSpeakerChoice(DeviceModel& m, int group, int choice)
{
    switch (group) {
    case Front: return m.SetFrontSpeakers(choice);
    case Center: return m.SetCenterSpeaker(choice);
    case Rear: return m.SetRearSpeakers(choice);
    case SideSize: return m.SetSideSpeakers(choice);
    case SideType: return m.SetSideDipole(choice == 1 ? 16 : 0);
    default: return m.SetSubwoofer(choice);
    }
}

NamedParam outputSlot(int channel)
{
    return static_cast<NamedParam>(static_cast<int>(NamedParam::OUT_ADJ_CENTER) + channel);
}

// The raw value a control holds now, as the model has it.
int rawOf(const DeviceModel& m, const Control& c)
{
    const UnitStatus s = m.status();
    switch (c.kind) {
    case ControlKind::Volume: return s.Volume;
    case ControlKind::Balance: return s.Balance;
    case ControlKind::FrontBack: return s.FrontBackBalance;
    case ControlKind::Mute: return s.Mute;
    case ControlKind::Input: return s.Input;
    case ControlKind::Effect: return s.Effect;
    case ControlKind::Bass: return m.BassLevel();
    case ControlKind::Treble: return m.TrebleLevel();
    case ControlKind::Tilt: return m.TiltLevel();
    case ControlKind::Loudness: return m.LoudnessState();
    case ControlKind::Zone2: return m.RecordEnabledState();
    case ControlKind::Zone2Volume: return s.Zone2Volume;
    case ControlKind::Zone2Balance: return s.Zone2Balance;
    case ControlKind::Zone2Mute: return s.Zone2Mute;
    case ControlKind::RecordInput: return s.RecordInput;
    case ControlKind::Output: return m.paramValue(m.namedSlot(outputSlot(c.index)));
    case ControlKind::Speakers: return speakerChoice(m, c.index);
    case ControlKind::Param: return m.paramValue(static_cast<std::uint8_t>(c.index));
    default: return 0;
    }
}

// Sends with the capture on and waits for DC_ACK of `command` or a DC_NAK.
int confirmed(CliSession& session, std::uint8_t command, const std::function<void()>& send,
              std::string& error)
{
    CQuorControl& link = session.link();
    session.waitUntilSendAllowed();
    link.DiscardCaptured();
    std::optional<Packet> answer;
    {
        CaptureScope capture(link, link.state().ParamCaptureActive);
        send();
        answer = capture.await(matchAckOrNak(command),
                               link.timing(Timing::RestoreConfigWaitCount),
                               link.timing(Timing::RestoreConfigWaitInterval));
    }
    if (!answer) {
        error = "no answer from the unit";
        return kExitError;
    }
    if (answer->code() == DC_NAK) {
        session.stopSending();
        const std::uint8_t why = answer->dataLength() >= 2 ? answer->data()[1] : 0;
        error = std::string("the unit refused the command (DC_NAK, ") + NakErrorName(why) + ")";
        return kExitError;
    }
    return kExitOk;
}

// A parameter write as the Speaker Config page makes it: the unit's values,
// read now, with `change` applied, all written back.
int writeParams(CliSession& session, const std::function<int()>& change, std::string& error)
{
    DeviceModel& m = session.model();
    session.waitUntilSendAllowed();
    if (!m.GetSysParams(true)) {
        error = "no answer from the unit to the parameter read";
        return kExitError;
    }
    if (change() < 0) {
        error = "the unit has no such parameter";
        return kExitError;
    }
    if (!m.SetSysParams(true)) {
        session.stopSending();
        error = "Set Sys Parameters Failed.";
        return kExitError;
    }
    return kExitOk;
}

int setTone(CliSession& session, ControlKind kind, std::uint8_t level, std::string& error)
{
    DeviceModel& m = session.model();
    const ToneControl control = kind == ControlKind::Bass     ? ToneControl::Bass
                                : kind == ControlKind::Treble ? ToneControl::Treble
                                                              : ToneControl::Tilt;
    const int from = kind == ControlKind::Bass ? m.BassLevel() : kind == ControlKind::Treble ? m.TrebleLevel() : m.TiltLevel();
    session.waitUntilSendAllowed();
    if (kind == ControlKind::Bass)
        m.SetBassLevel(level);
    else if (kind == ControlKind::Treble)
        m.SetTrebleLevel(level);
    else
        m.SetTiltLevel(level);
    // Each step is one IR key and one report from the unit.
    const int limit = 2000 + 300 * std::abs(from - level);
    const bool done = session.waitFor(
        [&] { return session.prompt().retryAsked() || m.stepper(control).active == 0; }, limit);
    if (session.prompt().retryAsked()) {
        error = "the unit refused or did not answer a tone step";
        return kExitError;
    }
    if (!done) {
        error = "the unit did not report the tone steps";
        return kExitError;
    }
    return kExitOk;
}

std::optional<int> parseSpeakerChoice(int group, const std::string& value)
{
    const auto& choices = speakerOf(group).choices;
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (value == choices[i])
            return static_cast<int>(i);
    return std::nullopt;
}

} // namespace

std::vector<Control> wellKnownControls()
{
    std::vector<Control> out;
    for (const NamedControl& c : kControls)
        out.push_back({c.name, c.kind, c.index});
    return out;
}

std::optional<Control> findControl(const DeviceModel& model, const std::string& name)
{
    for (const NamedControl& c : kControls)
        if (name == c.name || (c.paramName && name == c.paramName))
            return Control{c.name, c.kind, c.index};
    const int total = model.unitConfig().TotalParams;
    for (int id = 0; id < total; ++id)
        if (!name.empty() && model.paramDef(static_cast<std::uint8_t>(id)).nameText() == name)
            return Control{name, ControlKind::Param, id};
    return std::nullopt;
}

std::string controlText(const DeviceModel& m, const Control& c)
{
    switch (c.kind) {
    case ControlKind::Effect: {
        std::string name;
        m.CurrentEffectName(name);
        return name;
    }
    case ControlKind::InputName: return m.status().inputName(c.index);
    case ControlKind::CustomName: return m.status().customName();
    case ControlKind::Speakers: {
        const int choice = rawOf(m, c);
        const auto& choices = speakerOf(c.index).choices;
        return choice >= 0 && choice < static_cast<int>(choices.size()) ? choices[choice] : "unknown";
    }
    case ControlKind::Param: {
        const ValueUnit unit = unitOfParam(c.name);
        return valueText(unit, static_cast<std::uint8_t>(rawOf(m, c)));
    }
    default: break;
    }
    if (c.kind == ControlKind::Output && m.namedSlot(outputSlot(c.index)) == 0)
        return "none";
    const auto level = levelOf(c.kind);
    return valueText(level ? level->unit : ValueUnit::Raw, static_cast<std::uint8_t>(rawOf(m, c)));
}

std::string valueHint(const DeviceModel& m, const Control& c)
{
    switch (c.kind) {
    case ControlKind::Volume:
    case ControlKind::Zone2Volume: return "dB, " + rangeText(c.kind);
    case ControlKind::Balance:
    case ControlKind::FrontBack:
    case ControlKind::Zone2Balance:
    case ControlKind::Bass:
    case ControlKind::Treble:
    case ControlKind::Tilt: return "steps, " + rangeText(c.kind);
    case ControlKind::Output: return "dB in half steps, " + rangeText(c.kind);
    case ControlKind::Mute:
    case ControlKind::Loudness:
    case ControlKind::Zone2:
    case ControlKind::Zone2Mute: return "on or off";
    case ControlKind::Input:
    case ControlKind::RecordInput: return "Tape, Tuner, CD, Aux, TV, V-Disc, DVD or VCR";
    case ControlKind::Effect: return "read only";
    case ControlKind::InputName: return "at most " + std::to_string(kInputNameWidth) + " characters";
    case ControlKind::CustomName: return "at most " + std::to_string(kCustomNameWidth) + " characters";
    case ControlKind::Speakers: {
        std::string hint;
        for (const char* choice : speakerOf(c.index).choices)
            hint += (hint.empty() ? "" : ", ") + std::string(choice);
        return hint;
    }
    case ControlKind::Param: {
        const int max = m.paramDef(static_cast<std::uint8_t>(c.index)).maximum;
        const ValueUnit unit = unitOfParam(c.name);
        return valueText(unit, 0) + " to " + valueText(unit, static_cast<std::uint8_t>(max));
    }
    }
    return {};
}

int setControl(CliSession& session, const Control& c, const std::string& value, std::string& error)
{
    DeviceModel& m = session.model();
    auto outOfRange = [&] {
        error = "bad value \"" + value + "\" for " + c.name + " (" + valueHint(m, c) + ")";
        return kExitError;
    };
    if (c.kind == ControlKind::Effect) {
        error = "effect cannot be set by name; the unit's effect keys choose it";
        return kExitError;
    }
    if (c.kind == ControlKind::InputName || c.kind == ControlKind::CustomName) {
        const std::size_t limit = c.kind == ControlKind::InputName ? kInputNameWidth : kCustomNameWidth;
        if (value.size() > limit || value.find('\0') != std::string::npos)
            return outOfRange();
        if (value == controlText(m, c))
            return kExitOk;
        if (c.kind == ControlKind::InputName)
            return confirmed(session, DC_CMD_SET_INPUT_NAME, [&] { m.SetInputName(c.index, value); }, error);
        // The custom name keeps the Names page's display switch.
        const bool shown = session.settings().readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;
        return confirmed(session, DC_CMD_SET_CUST_NAME, [&] { m.SetCustomName(shown, value); }, error);
    }
    if (c.kind == ControlKind::Speakers) {
        const auto choice = parseSpeakerChoice(c.index, value);
        if (!choice)
            return outOfRange();
        if (*choice == rawOf(m, c))
            return kExitOk;
        return writeParams(session, [&] { return setSpeakerChoice(m, c.index, *choice); }, error);
    }
    if (c.kind == ControlKind::Param) {
        const auto id = static_cast<std::uint8_t>(c.index);
        const auto raw = parseValue(unitOfParam(c.name), value);
        if (!raw || *raw < 0 || *raw > m.paramDef(id).maximum)
            return outOfRange();
        if (*raw == m.paramValue(id))
            return kExitOk;
        return writeParams(session, [&] {
            auto values = m.paramValues();
            values[id] = static_cast<std::uint8_t>(*raw);
            m.setParamValues(values.data(), m.paramValueCount());
            return 1;
        }, error);
    }

    const auto level = levelOf(c.kind);
    const auto parsed = parseValue(level->unit, value);
    if (!parsed || *parsed < 0 || *parsed > level->maximum)
        return outOfRange();
    const auto v = static_cast<std::uint8_t>(*parsed);
    const NamedParam slot = c.kind == ControlKind::Output   ? outputSlot(c.index)
                            : c.kind == ControlKind::Zone2  ? NamedParam::RECORD_ENABLED
                            : c.kind == ControlKind::Loudness ? NamedParam::LOUDNESS
                            : c.kind == ControlKind::Bass   ? NamedParam::BASS
                            : c.kind == ControlKind::Treble ? NamedParam::TREBLE
                            : c.kind == ControlKind::Tilt   ? NamedParam::TILT
                                                            : NamedParam::VOLUME;
    const bool needsSlot = c.kind == ControlKind::Output || c.kind == ControlKind::Zone2 ||
                           c.kind == ControlKind::Loudness || c.kind == ControlKind::Bass ||
                           c.kind == ControlKind::Treble || c.kind == ControlKind::Tilt;
    if (needsSlot && m.namedSlot(slot) == 0) {
        error = "the unit has no " + c.name + " parameter";
        return kExitError;
    }
    if (v == rawOf(m, c))
        return kExitOk; // nothing to send: the unit has it already

    switch (c.kind) {
    case ControlKind::Volume: return confirmed(session, DC_CMD_SET_SYS_VOLUME, [&] { m.SetVolume(v); }, error);
    case ControlKind::Balance: return confirmed(session, DC_CMD_SET_SYS_BALANCE, [&] { m.SetBalance(v); }, error);
    case ControlKind::FrontBack:
        return confirmed(session, DC_CMD_SET_FRONT_BACK_BALANCE, [&] { m.SetFrontBackBalance(v); }, error);
    case ControlKind::Mute: return confirmed(session, DC_CMD_SET_MUTE, [&] { m.SetMute(v); }, error);
    case ControlKind::Zone2Volume:
        return confirmed(session, DC_CMD_SET_ZONE2_VOLUME, [&] { m.SetZone2Volume(v); }, error);
    case ControlKind::Zone2Balance:
        return confirmed(session, DC_CMD_SET_ZONE2_BALANCE, [&] { m.SetZone2Balance(v); }, error);
    case ControlKind::Output:
        return confirmed(session, DC_CMD_SET_OUTPUT_ADJ, [&] { m.SetOutputAdjust(c.index, v); }, error);
    case ControlKind::Input:
        return confirmed(session, DC_CMD_IR, [&] { m.SendIrKey(static_cast<std::uint8_t>(INPUT_TAPE + v)); }, error);
    case ControlKind::RecordInput:
        return confirmed(session, DC_CMD_IR, [&] { m.SendIrKey(zone2SourceKey(v)); },
                         error);
    case ControlKind::Zone2:
        return confirmed(session, DC_CMD_IR, [&] { m.SendIrKey(v ? kIrZone2On : kIrZone2Off); }, error);
    case ControlKind::Zone2Mute: return confirmed(session, DC_CMD_IR, [&] { m.SetZone2Mute(v != 0); }, error);
    case ControlKind::Loudness: return confirmed(session, DC_CMD_IR, [&] { m.SetLoudness(v != 0); }, error);
    case ControlKind::Bass:
    case ControlKind::Treble:
    case ControlKind::Tilt: return setTone(session, c.kind, v, error);
    default: break;
    }
    error = "cannot set " + c.name;
    return kExitError;
}

} // namespace bm::cli
