// The controls table and its forms. Levels go through the pages' scales
// (model/levels.h), so a value here reads as the page shows it; sets go through
// the model's operations, the ones the pages call.
#include "model/controls.h"

#include "link/packet.h"
#include "model/device_model.h"
#include "model/levels.h"
#include "model/records.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace bm::controls {
namespace {

enum SpeakerGroup { Front, Center, SideSize, SideType, Rear, Subwoofer };

const std::vector<const char*>& speakerChoices(int group)
{
    static const std::vector<const char*> size4 = {"small-120", "small-80", "small-40", "large"};
    static const std::vector<const char*> size5 = {"none", "small-120", "small-80", "small-40", "large"};
    static const std::vector<const char*> type = {"standard", "dipole"};
    static const std::vector<const char*> sub = {"none", "120", "80", "40"};
    switch (group) {
    case Front: return size4;
    case SideType: return type;
    case Subwoofer: return sub;
    default: return size5;
    }
}

Control row(const char* name, Kind kind, int index, const char* alias, const char* unit, Type type,
            Source source, Setter setter)
{
    return Control{name, kind, index, alias, unit, type, source, setter};
}

std::vector<Control> makeTable()
{
    using K = Kind;
    using T = Type;
    using S = Source;
    using W = Setter;
    std::vector<Control> t = {
        row("product", K::Product, 0, "", "", T::Choice, S::UnitConfig, W::ReadOnly),
        row("rom", K::Rom, 0, "", "", T::Text, S::UnitConfig, W::ReadOnly),
        row("power", K::Power, 0, "", "", T::Choice, S::SysStatus, W::IrKey),
        row("volume", K::Volume, 0, "VOLUME", "dB", T::Number, S::SysStatus, W::Direct),
        row("balance", K::Balance, 0, "LR_BALANCE", "steps", T::Number, S::SysStatus, W::Direct),
        row("front-back", K::FrontBack, 0, "FB_BALANCE", "steps", T::Number, S::SysStatus, W::Direct),
        row("mute", K::Mute, 0, "MUTE", "", T::Switch, S::SysStatus, W::Direct),
        row("input", K::Input, 0, "INPUT", "", T::Choice, S::SysStatus, W::IrKey),
        row("effect", K::Effect, 0, "PROGRAM", "", T::Choice, S::SysStatus, W::IrKey),
        row("stream", K::Stream, 0, "", "", T::Text, S::SysStatus, W::ReadOnly),
        row("bass", K::Bass, 0, "BASS", "dB", T::Number, S::ParamValues, W::ToneSteps),
        row("treble", K::Treble, 0, "TREBLE", "dB", T::Number, S::ParamValues, W::ToneSteps),
        row("tilt", K::Tilt, 0, "TILT", "dB", T::Number, S::ParamValues, W::ToneSteps),
        row("loudness", K::Loudness, 0, "LOUDNESS", "", T::Switch, S::ParamValues, W::IrKey),
        row("zone2", K::Zone2, 0, "RECORD_ENABLED", "", T::Switch, S::ParamValues, W::IrKey),
        row("zone2-volume", K::Zone2Volume, 0, "Z2_VOL", "dB", T::Number, S::Zone2Status, W::Direct),
        row("zone2-balance", K::Zone2Balance, 0, "Z2_BAL", "steps", T::Number, S::Zone2Status, W::Direct),
        row("zone2-mute", K::Zone2Mute, 0, "Z2_MUTE", "", T::Switch, S::Zone2Status, W::IrKey),
        row("record-input", K::RecordInput, 0, "REC_INPUT", "", T::Choice, S::Zone2Status, W::IrKey),
    };
    const char* outputs[] = {"out-center", "out-sub", "out-front-l", "out-front-r",
                             "out-side-l", "out-side-r", "out-rear-l", "out-rear-r"};
    for (int i = 0; i < kOutputChannels; ++i)
        t.push_back(row(outputs[i], K::Output, i,
                        kNamedParamNames[static_cast<int>(NamedParam::OUT_ADJ_CENTER) + i], "dB", T::Number,
                        S::ParamValues, W::Direct));
    t.push_back(row("front-speakers", K::Speakers, Front, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("center-speaker", K::Speakers, Center, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("side-speakers", K::Speakers, SideSize, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("side-type", K::Speakers, SideType, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("rear-speakers", K::Speakers, Rear, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("subwoofer", K::Speakers, Subwoofer, "", "", T::Choice, S::ParamValues, W::SysParams));
    t.push_back(row("custom-name", K::CustomName, 0, "", "", T::Text, S::CustomName, W::Name));
    for (int i = 0; i < kInputCount; ++i)
        t.push_back(Control{"input-name-" + std::to_string(i + 1), K::InputName, i, "", "", T::Text,
                            S::InputName, W::Name});
    t.push_back(row("display-1", K::Display1, 0, "", "", T::Text, S::FrontPanel, W::ReadOnly));
    t.push_back(row("display-2", K::Display2, 0, "", "", T::Text, S::FrontPanel, W::ReadOnly));
    return t;
}

// The speaker parameters, whose value is a choice of their group.
constexpr struct {
    const char* param;
    int group;
} kSpeakerParams[] = {
    {"FRONT_SPKR", Front}, {"CENTER_SPKR", Center}, {"SIDE_SPKR", SideSize},
    {"REAR_SPKR", Rear},   {"SUBWOOFER", Subwoofer},
};

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Letters and digits only, lower case: "Music Surr." and "Music Surrnd" meet.
std::string folded(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (std::isalnum(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A decimal in hundredths: "-1.5" is -150, "+6dB" 600. Nothing for anything else.
std::optional<int> parseHundredths(std::string_view text)
{
    std::string t = lower(text);
    if (t.size() > 2 && t.compare(t.size() - 2, 2, "db") == 0)
        t.resize(t.size() - 2);
    bool negative = false;
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    const std::size_t point = t.find('.', i);
    const std::string whole = t.substr(i, point == std::string::npos ? std::string::npos : point - i);
    const std::string fraction = point == std::string::npos ? "" : t.substr(point + 1);
    if (whole.empty() || whole.size() > 4 || whole.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    if (point != std::string::npos &&
        (fraction.empty() || fraction.size() > 2 || fraction.find_first_not_of("0123456789") != std::string::npos))
        return std::nullopt;
    int value = std::atoi(whole.c_str()) * 100;
    if (!fraction.empty())
        value += std::atoi(fraction.c_str()) * (fraction.size() == 1 ? 10 : 1);
    return negative ? -value : value;
}

// Steps of a scale from hundredths; nothing when the value is between steps.
std::optional<int> stepsOf(const LevelScale& scale, int hundredths)
{
    const int per = scale.text == StepText::Whole ? 100 : scale.text == StepText::Half ? 50 : 20;
    if (hundredths % per != 0)
        return std::nullopt;
    return hundredths / per;
}

std::optional<int> parseSwitch(std::string_view text)
{
    const std::string t = lower(text);
    if (t == "on" || t == "1" || t == "true")
        return 1;
    if (t == "off" || t == "0" || t == "false")
        return 0;
    return std::nullopt;
}

// An input by the panel's number (1 Tape .. 8 VCR), its fixed name, or the
// unit's own name for it (when the model is given).
std::optional<int> parseInput(std::string_view text, const DeviceModel* model, bool& deferred)
{
    deferred = false;
    const std::string t = lower(text);
    // A number is the panel's input number, never a name.
    if (!t.empty() && t.find_first_not_of("0123456789") == std::string::npos)
        return t.size() == 1 && t[0] >= '1' && t[0] <= '8' ? std::optional<int>(t[0] - '1') : std::nullopt;
    for (int i = 0; i < kInputCount; ++i) {
        if (folded(text) == folded(RecordInputText(static_cast<std::uint8_t>(i))))
            return i;
    }
    if (!model) {
        deferred = !text.empty();
        return std::nullopt;
    }
    const UnitStatus s = model->status();
    for (int i = 0; i < kInputCount; ++i) {
        const std::string name = fromUnitText(s.inputName(i));
        if (!name.empty() && lower(name) == t)
            return i;
    }
    return std::nullopt;
}

struct EffectKey {
    std::uint8_t key;
    const char* label; // the General page's button
};
constexpr EffectKey kEffectKeys[] = {
    {EFFECT_DOLBY, "Dolby Digital"}, {EFFECT_THX, "THX"},           {EFFECT_LOGIC7, "Logic 7"},
    {EFFECT_DTS, "dts"},             {EFFECT_2CH, "2 Channel"},     {EFFECT_PARTY, "Party"},
    {EFFECT_TVMATRIX, "TV Matrix"},  {EFFECT_MUSICLOGIC, "Music Logic"},
    {EFFECT_NIGHTCLUB, "Night Club"}, {EFFECT_CONCERT, "Concert"}, {EFFECT_CHURCH, "Church"},
    {EFFECT_CATHEDRAL, "Cathedral"}, {EFFECT_PANORAMA, "Panorama"}, {EFFECT_MONOLOGIC, "Monologic"},
    {EFFECT_MUSICSURROUND, "Music Surr."},
};

// The effect key whose button names this effect: the button's text is the
// effect's name or the start of it ("THX" for "THX Cinema"); the longest wins.
std::optional<std::uint8_t> effectKeyOf(std::string_view effectName)
{
    const std::string name = folded(effectName);
    std::optional<std::uint8_t> best;
    std::size_t bestLength = 0;
    for (const EffectKey& k : kEffectKeys) {
        const std::string label = folded(k.label);
        if (name.rfind(label, 0) == 0 && label.size() > bestLength) {
            best = k.key;
            bestLength = label.size();
        }
    }
    return best;
}

struct NamedKey {
    const char* name;
    std::uint8_t code;
};
constexpr NamedKey kIrKeys[] = {
    {"INPUT_TAPE", INPUT_TAPE}, {"INPUT_TUNER", INPUT_TUNER}, {"INPUT_CD", INPUT_CD},
    {"INPUT_AUX", INPUT_AUX}, {"INPUT_TV", INPUT_TV}, {"INPUT_VDISC", INPUT_VDISC},
    {"INPUT_DVD", INPUT_DVD}, {"INPUT_VCR", INPUT_VCR}, {"ON", IR_ON}, {"OFF", IR_OFF},
    {"EFFECT_DOLBY", EFFECT_DOLBY}, {"EFFECT_THX", EFFECT_THX}, {"EFFECT_LOGIC7", EFFECT_LOGIC7},
    {"EFFECT_DTS", EFFECT_DTS}, {"EFFECT_2CH", EFFECT_2CH}, {"EFFECT_PARTY", EFFECT_PARTY},
    {"EFFECT_TVMATRIX", EFFECT_TVMATRIX}, {"EFFECT_MUSICLOGIC", EFFECT_MUSICLOGIC},
    {"ZONE2_TAPE", zone2SourceKey(0)}, {"ZONE2_TUNER", zone2SourceKey(1)}, {"ZONE2_CD", zone2SourceKey(2)},
    {"ZONE2_AUX", zone2SourceKey(3)}, {"ZONE2_TV", zone2SourceKey(4)}, {"ZONE2_VDISC", zone2SourceKey(5)},
    {"ZONE2_DVD", zone2SourceKey(6)}, {"ZONE2_VCR", zone2SourceKey(7)},
    {"ZONE2_MUTE", kIrZone2MuteToggle}, {"ZONE2_ON", kIrZone2On}, {"ZONE2_OFF", kIrZone2Off},
    {"LOUDNESS_OFF", LOUDNESS_OFF}, {"TILT_DOWN", TILT_DOWN}, {"TREBLE_DOWN", TREBLE_DOWN},
    {"BASS_DOWN", BASS_DOWN}, {"LOUDNESS_ON", LOUDNESS_ON}, {"TILT_UP", TILT_UP},
    {"TREBLE_UP", TREBLE_UP}, {"BASS_UP", BASS_UP}, {"EFFECT_NIGHTCLUB", EFFECT_NIGHTCLUB},
    {"EFFECT_CONCERT", EFFECT_CONCERT}, {"EFFECT_CHURCH", EFFECT_CHURCH},
    {"EFFECT_CATHEDRAL", EFFECT_CATHEDRAL}, {"EFFECT_DIGAUDIO", EFFECT_DIGAUDIO},
    {"EFFECT_PANORAMA", EFFECT_PANORAMA}, {"EFFECT_MONOLOGIC", EFFECT_MONOLOGIC},
    {"EFFECT_MUSICSURROUND", EFFECT_MUSICSURROUND},
};

NamedParam outputSlot(int channel)
{
    return static_cast<NamedParam>(static_cast<int>(NamedParam::OUT_ADJ_CENTER) + channel);
}

// The parameter slot a control's value lives in, for those read from the parameters.
std::optional<NamedParam> slotOf(const Control& c)
{
    switch (c.kind) {
    case Kind::Bass: return NamedParam::BASS;
    case Kind::Treble: return NamedParam::TREBLE;
    case Kind::Tilt: return NamedParam::TILT;
    case Kind::Loudness: return NamedParam::LOUDNESS;
    case Kind::Zone2: return NamedParam::RECORD_ENABLED;
    case Kind::Output: return outputSlot(c.index);
    default: return std::nullopt;
    }
}

SpeakerSetting settingOfGroup(int group)
{
    switch (group) {
    case Front: return SpeakerSetting::Front;
    case Center: return SpeakerSetting::Center;
    case Rear: return SpeakerSetting::Rear;
    case SideSize: return SpeakerSetting::SideSize;
    case SideType: return SpeakerSetting::SideDipole;
    default: return SpeakerSetting::Subwoofer;
    }
}

// The side type's choice (standard, dipole) from the model's 0 or 16.
int choiceOfSetting(int group, int setting)
{
    if (group != SideType)
        return setting;
    return setting < 0 ? -1 : (setting == 16 ? 1 : 0);
}

int speakerChoice(const DeviceModel& m, int group)
{
    switch (group) {
    case Front: return m.GetFrontSpeakers();
    case Center: return m.GetCenterSpeaker();
    case Rear: return m.GetRearSpeakers();
    case SideSize: return m.GetSideSpeakers();
    case SideType: return choiceOfSetting(group, m.GetSideDipole());
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

std::string romText(const UnitConfig& c)
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%d.%02d (%s) %s", c.SoftwareMajorRev, c.SoftwareMinorRev,
                  SoftwareLevelName(c.SoftwareLevel), c.timeStampText().c_str());
    return buffer;
}

bool standby(const UnitStatus& s)
{
    return s.Input == kNoInput && s.Effect == kNoEffect;
}

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, unsigned code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

const LevelScale* scaleOf(Kind kind)
{
    switch (kind) {
    case Kind::Volume:
    case Kind::Zone2Volume: return &kVolumeScale;
    case Kind::Balance:
    case Kind::Zone2Balance: return &kBalanceScale;
    case Kind::FrontBack: return &kFrontBackScale;
    case Kind::Bass:
    case Kind::Treble: return &kToneScale;
    case Kind::Tilt: return &kTiltScale;
    case Kind::Output: return &kOutputScale;
    default: return nullptr;
    }
}

// --- The table -------------------------------------------------------------------

const std::vector<Control>& controlTable()
{
    static const std::vector<Control> table = makeTable();
    return table;
}

std::optional<Control> findControl(std::string_view name, const DeviceModel* model)
{
    if (name.empty())
        return std::nullopt;
    for (const Control& c : controlTable())
        if (name == c.name || (!c.alias.empty() && name == c.alias))
            return c;
    if (!model)
        return std::nullopt;
    const int total = model->unitConfig().TotalParams;
    for (int id = 0; id < total; ++id) {
        const auto pid = static_cast<std::uint8_t>(id);
        if (model->paramDefined(pid) && model->paramDef(pid).nameText() == name) {
            Control c;
            c.name = std::string(name);
            c.kind = Kind::Param;
            c.index = id;
            c.type = Type::Number;
            c.source = Source::ParamValues;
            c.setter = Setter::SysParams;
            return c;
        }
    }
    return std::nullopt;
}

std::vector<Control> controlsOfParam(const DeviceModel& model, std::uint8_t id)
{
    const std::string name = model.paramDef(id).nameText();
    std::vector<Control> out;
    for (const auto& s : kSpeakerParams)
        if (name == s.param)
            for (const Control& c : controlTable())
                if (c.kind == Kind::Speakers && c.index == s.group)
                    out.push_back(c);
    if (name == "SIDE_SPKR")
        out.push_back(*findControl("side-type"));
    if (out.empty())
        if (auto c = findControl(name, &model))
            out.push_back(*c);
    return out;
}

int speakerChoiceOf(const Control& c, const NamedParamValue& value)
{
    if (c.kind != Kind::Speakers)
        return -1;
    return choiceOfSetting(c.index, speakerSettingOf(settingOfGroup(c.index), value));
}

std::vector<NamedParam> speakerParamsOf(const Control& c)
{
    if (c.kind != Kind::Speakers)
        return {};
    return speakerSettingParams(settingOfGroup(c.index));
}

std::optional<Range> rangeOf(const Control& c, const DeviceModel* model)
{
    if (const LevelScale* s = scaleOf(c.kind))
        return Range{0, s->maximum};
    switch (c.kind) {
    case Kind::Mute:
    case Kind::Loudness:
    case Kind::Zone2:
    case Kind::Zone2Mute:
    case Kind::Power: return Range{0, 1};
    case Kind::Input:
    case Kind::RecordInput: return Range{0, kInputCount - 1};
    case Kind::Speakers: return Range{0, static_cast<int>(speakerChoices(c.index).size()) - 1};
    case Kind::InputName: return Range{0, static_cast<int>(kInputNameWidth)};
    case Kind::CustomName: return Range{0, static_cast<int>(kCustomNameWidth)};
    case Kind::Effect:
        if (model)
            return Range{0, std::max(0, model->unitConfig().TotalEffects - 1)};
        return std::nullopt;
    case Kind::Param:
        if (model)
            return Range{0, model->paramDef(static_cast<std::uint8_t>(c.index)).maximum};
        return std::nullopt;
    default: return std::nullopt;
    }
}

Layout layoutOf(const Control& c)
{
    Layout l;
    switch (c.kind) {
    case Kind::Product:
    case Kind::Rom:
    case Kind::Stream:
    case Kind::Display1:
    case Kind::Display2: l.group = "Info"; break;
    case Kind::Power:
    case Kind::Volume:
    case Kind::Balance:
    case Kind::FrontBack:
    case Kind::Mute:
    case Kind::Input:
    case Kind::Effect: l.group = "General"; break;
    case Kind::Bass:
    case Kind::Treble:
    case Kind::Tilt:
    case Kind::Loudness: l.group = "Equalization"; break;
    case Kind::Zone2:
    case Kind::Zone2Volume:
    case Kind::Zone2Balance:
    case Kind::Zone2Mute:
    case Kind::RecordInput: l.group = "Zone 2"; break;
    case Kind::Output: l.group = "Output Levels"; break;
    case Kind::Speakers: l.group = "Speaker Config"; break;
    case Kind::CustomName:
    case Kind::InputName: l.group = "Names"; break;
    case Kind::Param: l.group = ""; break;
    }
    if (const LevelScale* s = scaleOf(c.kind))
        l.step = s->text == StepText::Whole ? 1.0 : s->text == StepText::Half ? 0.5 : 0.2;
    if (c.kind == Kind::Speakers)
        for (const char* choice : speakerChoices(c.index))
            l.choices.emplace_back(choice);
    if (c.kind == Kind::Input || c.kind == Kind::RecordInput)
        for (int i = 0; i < kInputCount; ++i)
            l.choices.emplace_back(RecordInputText(static_cast<std::uint8_t>(i)));
    if (c.kind == Kind::Power)
        l.choices = {"standby", "on"};
    return l;
}

std::vector<std::string> effectChoices(const DeviceModel& model)
{
    std::vector<std::string> out;
    const int total = model.unitConfig().TotalEffects;
    for (int id = 0; id < total && id < kEffectTableSize; ++id) {
        const std::string name = fromUnitText(model.effect(id).nameText());
        if (!name.empty() && effectKeyOf(name))
            out.push_back(name);
    }
    return out;
}

std::string valueHint(const Control& c, const DeviceModel* model)
{
    if (const LevelScale* s = scaleOf(c.kind)) {
        const std::string unit = c.unit == "dB" ? "dB, " : "steps, ";
        return unit + levelText(*s, 0) + " to " + levelText(*s, s->maximum) + ", or +=N / -=N";
    }
    switch (c.kind) {
    case Kind::Mute:
    case Kind::Loudness:
    case Kind::Zone2:
    case Kind::Zone2Mute: return "on or off";
    case Kind::Power: return "on or standby";
    case Kind::Input:
    case Kind::RecordInput: return "1 to 8, Tape, Tuner, CD, Aux, TV, V-Disc, DVD, VCR, or the unit's input name";
    case Kind::Effect: return "an effect name of the unit";
    case Kind::InputName: return "at most " + std::to_string(kInputNameWidth) + " Latin-1 characters";
    case Kind::CustomName: return "at most " + std::to_string(kCustomNameWidth) + " Latin-1 characters";
    case Kind::Speakers: {
        std::string hint;
        for (const char* choice : speakerChoices(c.index))
            hint += (hint.empty() ? "" : ", ") + std::string(choice);
        return hint;
    }
    case Kind::Param:
        if (model)
            return "0 to " + std::to_string(model->paramDef(static_cast<std::uint8_t>(c.index)).maximum);
        return "a whole number";
    default: return "read only";
    }
}

// --- Text and JSON forms --------------------------------------------------------------

std::string formatText(const Control& c, const Value& v)
{
    if (const LevelScale* s = scaleOf(c.kind))
        return levelText(*s, v.raw);
    switch (c.kind) {
    case Kind::Mute:
    case Kind::Loudness:
    case Kind::Zone2:
    case Kind::Zone2Mute: return v.raw ? "on" : "off";
    case Kind::Power: return v.raw ? "on" : "standby";
    case Kind::Input:
    case Kind::RecordInput: {
        const char* name = RecordInputText(static_cast<std::uint8_t>(v.raw));
        return *name ? name : "none";
    }
    case Kind::Speakers: {
        const auto& choices = speakerChoices(c.index);
        return v.raw >= 0 && v.raw < static_cast<int>(choices.size()) ? choices[static_cast<std::size_t>(v.raw)]
                                                                      : "unknown";
    }
    case Kind::Param: return std::to_string(v.raw);
    default: return v.text;
    }
}

JsonScalar formatJson(const Control& c, const Value& v)
{
    if (const LevelScale* s = scaleOf(c.kind)) {
        const int steps = s->steps(v.raw);
        switch (s->text) {
        case StepText::Whole: return static_cast<long long>(steps);
        case StepText::Half: return steps / 2.0;
        case StepText::Fifth: return steps / 5.0;
        }
    }
    switch (c.type) {
    case Type::Number: return static_cast<long long>(v.raw);
    case Type::Switch: return v.raw != 0;
    default: return formatText(c, v);
    }
}

std::optional<Request> parseRequest(const Control& c, std::string_view text, const DeviceModel* model,
                                    std::string& error)
{
    const std::string shown(text);
    auto bad = [&]() -> std::optional<Request> {
        error = "bad value \"" + escapeControlCharacters(shown) + "\" for " + c.name + " (" + valueHint(c, model) + ")";
        return std::nullopt;
    };
    Request r;
    if (c.setter == Setter::ReadOnly) {
        error = c.name + " is read only";
        return std::nullopt;
    }
    if (const LevelScale* s = scaleOf(c.kind)) {
        const bool relative = text.size() > 2 && (text.substr(0, 2) == "+=" || text.substr(0, 2) == "-=");
        const std::string_view number = relative ? text.substr(2) : text;
        if (relative && (number.empty() || number[0] == '+' || number[0] == '-'))
            return bad();
        const auto hundredths = parseHundredths(number);
        const auto steps = hundredths ? stepsOf(*s, *hundredths) : std::nullopt;
        if (!steps)
            return bad();
        if (relative) {
            r.form = Request::Form::Relative;
            r.delta = text[0] == '-' ? -*steps : *steps;
            // A volume step up is one raw value up whichever way the slider runs.
            return r;
        }
        const int raw = *steps + s->zero;
        if (raw < 0 || raw > s->maximum)
            return bad();
        r.value.raw = raw;
        return r;
    }
    switch (c.kind) {
    case Kind::Mute:
    case Kind::Loudness:
    case Kind::Zone2:
    case Kind::Zone2Mute: {
        const auto v = parseSwitch(text);
        if (!v)
            return bad();
        r.value.raw = *v;
        return r;
    }
    case Kind::Power: {
        const std::string t = lower(text);
        if (t != "on" && t != "standby")
            return bad();
        r.value.raw = t == "on" ? 1 : 0;
        return r;
    }
    case Kind::Input:
    case Kind::RecordInput: {
        bool deferred = false;
        const auto v = parseInput(text, model, deferred);
        if (v) {
            r.value.raw = *v;
            return r;
        }
        if (deferred) {
            r.value.raw = -1;
            r.value.text = shown;
            return r;
        }
        return bad();
    }
    case Kind::Effect: {
        if (text.empty())
            return bad();
        if (!model) {
            r.value.raw = -1;
            r.value.text = shown;
            return r;
        }
        const int total = model->unitConfig().TotalEffects;
        for (int id = 0; id < total && id < kEffectTableSize; ++id) {
            const std::string name = fromUnitText(model->effect(id).nameText());
            if (!name.empty() && folded(name) == folded(text)) {
                if (!effectKeyOf(name)) {
                    error = "no effect key of the unit selects " + escapeControlCharacters(name);
                    return std::nullopt;
                }
                r.value.raw = id;
                r.value.text = name;
                return r;
            }
        }
        return bad();
    }
    case Kind::Speakers: {
        const auto& choices = speakerChoices(c.index);
        for (std::size_t i = 0; i < choices.size(); ++i)
            if (lower(text) == choices[i]) {
                r.value.raw = static_cast<int>(i);
                return r;
            }
        return bad();
    }
    case Kind::InputName:
    case Kind::CustomName: {
        const std::size_t limit = c.kind == Kind::InputName ? kInputNameWidth : kCustomNameWidth;
        std::string why;
        if (!toUnitText(text, limit, why)) {
            error = "bad value \"" + escapeControlCharacters(shown) + "\" for " + c.name + ": " + why;
            return std::nullopt;
        }
        r.value.text = shown;
        return r;
    }
    case Kind::Param: {
        const std::string t(text);
        if (t.empty() || t.size() > 3 || t.find_first_not_of("0123456789") != std::string::npos)
            return bad();
        r.value.raw = std::atoi(t.c_str());
        if (model && r.value.raw > model->paramDef(static_cast<std::uint8_t>(c.index)).maximum)
            return bad();
        if (r.value.raw > 255)
            return bad();
        return r;
    }
    default: break;
    }
    return bad();
}

std::optional<Request> parseJson(const Control& c, const JsonScalar& json, const DeviceModel* model,
                                 std::string& error)
{
    std::string text;
    if (const auto* b = std::get_if<bool>(&json)) {
        text = *b ? "on" : "off";
    } else if (const auto* n = std::get_if<long long>(&json)) {
        text = std::to_string(*n);
    } else if (const auto* d = std::get_if<double>(&json)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.2f", *d);
        text = buffer;
    } else if (const auto* s = std::get_if<std::string>(&json)) {
        text = *s;
    } else {
        error = "no value for " + c.name;
        return std::nullopt;
    }
    return parseRequest(c, text, model, error);
}

std::optional<Value> resolve(const Control& c, const Request& request, const Value& current,
                             const DeviceModel& model, std::string& error)
{
    if (request.form == Request::Form::Relative) {
        const LevelScale* s = scaleOf(c.kind);
        const int raw = current.raw + request.delta;
        if (!s || raw < 0 || raw > s->maximum) {
            error = c.name + " " + formatText(c, current) + " changed by " +
                    (request.delta >= 0 ? "+" : "-") +
                    stepText(s ? s->text : StepText::Whole, std::abs(request.delta)).substr(1) +
                    " leaves its range (" + valueHint(c, &model) + ")";
            return std::nullopt;
        }
        return Value{raw, {}};
    }
    if (request.value.raw >= 0 || (c.kind != Kind::Input && c.kind != Kind::RecordInput && c.kind != Kind::Effect))
        return request.value;
    // Named with what only the unit knows: read again with the model.
    std::string text = request.value.text;
    const auto again = parseRequest(c, text, &model, error);
    if (!again)
        return std::nullopt;
    return again->value;
}

// --- Names in the unit's character set ---------------------------------------------------

std::optional<std::string> toUnitText(std::string_view utf8, std::size_t limit, std::string& error)
{
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        unsigned code = 0;
        std::size_t length = 1;
        if (b < 0x80) {
            code = b;
        } else if ((b & 0xE0) == 0xC0) {
            code = b & 0x1F;
            length = 2;
        } else if ((b & 0xF0) == 0xE0) {
            code = b & 0x0F;
            length = 3;
        } else if ((b & 0xF8) == 0xF0) {
            code = b & 0x07;
            length = 4;
        } else {
            error = "not UTF-8 text";
            return std::nullopt;
        }
        if (i + length > utf8.size()) {
            error = "not UTF-8 text";
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto cont = static_cast<unsigned char>(utf8[i + k]);
            if ((cont & 0xC0) != 0x80) {
                error = "not UTF-8 text";
                return std::nullopt;
            }
            code = (code << 6) | (cont & 0x3F);
        }
        const unsigned shortest = length == 1 ? 0 : length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (code < shortest) {
            error = "not UTF-8 text";
            return std::nullopt;
        }
        if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            error = "a control character cannot be stored";
            return std::nullopt;
        }
        if (code > 0xFF) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "U+%04X", code);
            error = std::string(buffer) + " is not in the unit's character set (Latin-1)";
            return std::nullopt;
        }
        out += static_cast<char>(code);
        i += length;
    }
    if (out.size() > limit) {
        error = "longer than " + std::to_string(limit) + " characters";
        return std::nullopt;
    }
    return out;
}

std::string fromUnitText(std::string_view unitBytes)
{
    std::string out;
    for (char c : unitBytes)
        appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::array<std::string, 2> displayLines(const std::uint8_t* data, std::size_t length)
{
    constexpr std::size_t kLine = 21;
    auto line = [&](std::size_t from) {
        std::string s;
        for (std::size_t i = from; i < length && i < from + kLine && data[i] != 0; ++i)
            s += static_cast<char>(data[i]);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return fromUnitText(s);
    };
    return {line(0), line(kLine)};
}

std::string escapeControlCharacters(std::string_view utf8)
{
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        // C1 controls arrive from the unit's text as C2 80..C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        char buffer[8];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == 0x1B) {
            out += "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        } else if (c1) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned char>(utf8[++i]));
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// --- IR keys ------------------------------------------------------------------------------

std::optional<std::uint8_t> irKeyCode(std::string_view name)
{
    std::string wanted(name);
    for (char& c : wanted)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const NamedKey& k : kIrKeys)
        if (wanted == k.name)
            return k.code;
    return std::nullopt;
}

std::vector<std::string> irKeyNames()
{
    std::vector<std::string> out;
    for (const NamedKey& k : kIrKeys)
        out.emplace_back(k.name);
    return out;
}

// --- Reading ------------------------------------------------------------------------------

namespace {
unsigned bitOf(Source s)
{
    return 1u << static_cast<unsigned>(s);
}
} // namespace

void ReadLog::noteAnswer(std::uint8_t code, std::uint8_t firstDataByte)
{
    switch (code) {
    case DC_RESP_UNIT_CONFIG: bits_ |= bitOf(Source::UnitConfig); break;
    case DC_RESP_SYS_STATUS: bits_ |= bitOf(Source::SysStatus); break;
    case DC_RESP_REC_ZONE2_STATUS: bits_ |= bitOf(Source::Zone2Status); break;
    case DC_RESP_SYS_PARAM_VALUES: bits_ |= bitOf(Source::ParamValues); break;
    case DC_RESP_CUST_NAME: bits_ |= bitOf(Source::CustomName); break;
    case DC_RESP_INPUT_NAME:
        if (firstDataByte < kInputCount)
            inputNames_ |= 1u << firstDataByte;
        break;
    default: break;
    }
}

void ReadLog::noteFrontPanel()
{
    bits_ |= bitOf(Source::FrontPanel);
}

bool ReadLog::has(Source source, int index) const
{
    if (source == Source::InputName)
        return index >= 0 && index < kInputCount && (inputNames_ & (1u << index)) != 0;
    return (bits_ & bitOf(source)) != 0;
}

namespace {
const char* sourceText(Source s)
{
    switch (s) {
    case Source::UnitConfig: return "the unit configuration";
    case Source::SysStatus: return "the system status";
    case Source::Zone2Status: return "the zone 2 status";
    case Source::ParamValues: return "the system parameter values";
    case Source::CustomName: return "the custom name";
    case Source::InputName: return "the input name";
    case Source::FrontPanel: return "the front-panel display";
    }
    return "";
}
} // namespace

std::optional<Value> readValue(const DeviceModel& m, const Control& c, const ReadLog& log, std::string& missing)
{
    if (!log.has(c.source, c.index)) {
        missing = c.name + ": " + sourceText(c.source) + " was not read from the unit";
        return std::nullopt;
    }
    Value v;
    if (const auto slot = slotOf(c)) {
        const std::uint8_t id = m.namedSlot(*slot);
        if (id == 0 && !(m.paramDefined(0) && m.paramDef(0).nameText() == kNamedParamNames[static_cast<int>(*slot)])) {
            missing = c.name + ": the unit has no " + kNamedParamNames[static_cast<int>(*slot)] + " parameter";
            return std::nullopt;
        }
        v.raw = m.paramValue(id);
        return v;
    }
    const UnitStatus s = m.status();
    switch (c.kind) {
    case Kind::Product: {
        const UnitConfig config = m.unitConfig();
        v.text = std::string(ProductName(config.ProductId)) + " " + SoftwareTypeName(config.SoftwareType);
        return v;
    }
    case Kind::Rom: v.text = fromUnitText(romText(m.unitConfig())); return v;
    case Kind::Stream:
        v.text = std::string(StreamFormatName(s.StreamFormat)) + " " + SampleRateName(s.SampleRate);
        while (!v.text.empty() && v.text.back() == ' ')
            v.text.pop_back();
        while (!v.text.empty() && v.text.front() == ' ')
            v.text.erase(0, 1);
        if (v.text.empty())
            v.text = "none";
        return v;
    case Kind::Display1: v.text = fromUnitText(s.displayLine1()); return v;
    case Kind::Display2: v.text = fromUnitText(s.displayLine2()); return v;
    case Kind::Power: v.raw = standby(s) ? 0 : 1; return v;
    case Kind::Volume: v.raw = s.Volume; return v;
    case Kind::Balance: v.raw = s.Balance; return v;
    case Kind::FrontBack: v.raw = s.FrontBackBalance; return v;
    case Kind::Mute: v.raw = s.Mute; return v;
    case Kind::Input: v.raw = s.Input; return v;
    case Kind::Effect: {
        v.raw = s.Effect;
        std::string name;
        m.CurrentEffectName(name);
        v.text = fromUnitText(name);
        if (s.Effect >= kNoEffect)
            v.text = "none";
        return v;
    }
    case Kind::Zone2Volume: v.raw = s.Zone2Volume; return v;
    case Kind::Zone2Balance: v.raw = s.Zone2Balance; return v;
    case Kind::Zone2Mute: v.raw = s.Zone2Mute; return v;
    case Kind::RecordInput: v.raw = s.RecordInput; return v;
    case Kind::Speakers:
        v.raw = speakerChoice(m, c.index);
        if (v.raw < 0) {
            missing = c.name + ": the unit's speaker parameters do not give a choice";
            return std::nullopt;
        }
        return v;
    case Kind::CustomName: v.text = fromUnitText(s.customName()); return v;
    case Kind::InputName: v.text = fromUnitText(s.inputName(c.index)); return v;
    case Kind::Param: {
        const auto id = static_cast<std::uint8_t>(c.index);
        if (!m.paramDefined(id)) {
            missing = c.name + ": its definition was not read from the unit";
            return std::nullopt;
        }
        v.raw = m.paramValue(id);
        return v;
    }
    default: break;
    }
    missing = c.name + ": cannot be read";
    return std::nullopt;
}

// --- Setting ------------------------------------------------------------------------------

namespace {

Outcome stepTone(LineHost& host, const Control& c, int target, std::string& error)
{
    DeviceModel& m = host.model();
    const ToneControl control = c.kind == Kind::Bass     ? ToneControl::Bass
                                : c.kind == Kind::Treble ? ToneControl::Treble
                                                         : ToneControl::Tilt;
    const int from = m.paramValue(m.namedSlot(*slotOf(c)));
    const auto level = static_cast<std::uint8_t>(target);
    if (c.kind == Kind::Bass)
        m.SetBassLevel(level);
    else if (c.kind == Kind::Treble)
        m.SetTrebleLevel(level);
    else
        m.SetTiltLevel(level);
    // Each step is one IR key and one report from the unit.
    const int limit = 2000 + 300 * std::abs(from - target);
    const bool done = host.waitFor(
        [&] { return host.stepFailed() || host.lineLost() || m.stepper(control).active == 0; }, limit);
    const int reached = m.paramValue(m.namedSlot(*slotOf(c)));
    if (done && !host.stepFailed() && !host.lineLost() && reached == target)
        return Outcome::Done;
    error = std::string(host.lineLost() ? "the line was lost" : host.stepFailed() ? "the unit refused or did not answer a tone step"
                                                                                  : "the unit did not report the tone steps") +
            "; " + c.name + " got from " + formatText(c, {from, {}}) + " to " + formatText(c, {reached, {}}) +
            " of " + formatText(c, {target, {}});
    return host.lineLost() ? Outcome::LineLost : host.stepFailed() ? Outcome::Refused : Outcome::NotAnswered;
}

Outcome perform(LineHost& host, const Control& c, const Value& target, std::string& error)
{
    DeviceModel& m = host.model();
    const auto v = static_cast<std::uint8_t>(target.raw);
    auto key = [&](std::uint8_t code) { return host.exchange(DC_CMD_IR, [&m, code] { m.SendIrKey(code); }, error); };
    switch (c.kind) {
    case Kind::Volume: return host.exchange(DC_CMD_SET_SYS_VOLUME, [&] { m.SetVolume(v); }, error);
    case Kind::Balance: return host.exchange(DC_CMD_SET_SYS_BALANCE, [&] { m.SetBalance(v); }, error);
    case Kind::FrontBack:
        return host.exchange(DC_CMD_SET_FRONT_BACK_BALANCE, [&] { m.SetFrontBackBalance(v); }, error);
    case Kind::Mute: return host.exchange(DC_CMD_SET_MUTE, [&] { m.SetMute(v); }, error);
    case Kind::Zone2Volume: return host.exchange(DC_CMD_SET_ZONE2_VOLUME, [&] { m.SetZone2Volume(v); }, error);
    case Kind::Zone2Balance: return host.exchange(DC_CMD_SET_ZONE2_BALANCE, [&] { m.SetZone2Balance(v); }, error);
    case Kind::Output:
        return host.exchange(DC_CMD_SET_OUTPUT_ADJ, [&] { m.SetOutputAdjust(c.index, v); }, error);
    case Kind::Input: return key(static_cast<std::uint8_t>(INPUT_TAPE + v));
    case Kind::RecordInput: return key(zone2SourceKey(v));
    case Kind::Zone2: return key(v ? kIrZone2On : kIrZone2Off);
    case Kind::Zone2Mute: return host.exchange(DC_CMD_IR, [&] { m.SetZone2Mute(v != 0); }, error);
    case Kind::Loudness: return host.exchange(DC_CMD_IR, [&] { m.SetLoudness(v != 0); }, error);
    case Kind::Power: return key(v ? IR_ON : IR_OFF);
    case Kind::Effect: {
        const auto code = effectKeyOf(target.text);
        if (!code) {
            error = "no effect key of the unit selects " + escapeControlCharacters(target.text);
            return Outcome::Invalid;
        }
        return key(*code);
    }
    case Kind::Bass:
    case Kind::Treble:
    case Kind::Tilt: return stepTone(host, c, target.raw, error);
    case Kind::Speakers:
        return host.writeParams([&] { return setSpeakerChoice(m, c.index, target.raw); }, error);
    case Kind::Param:
        return host.writeParams([&] {
            auto values = m.paramValues();
            values[static_cast<std::size_t>(c.index)] = v;
            m.setParamValues(values.data(), m.paramValueCount());
            return 1;
        }, error);
    case Kind::InputName:
    case Kind::CustomName: {
        const std::size_t limit = c.kind == Kind::InputName ? kInputNameWidth : kCustomNameWidth;
        const auto bytes = toUnitText(target.text, limit, error);
        if (!bytes)
            return Outcome::Invalid;
        if (c.kind == Kind::InputName)
            return host.exchange(DC_CMD_SET_INPUT_NAME, [&] { m.SetInputName(c.index, *bytes); }, error);
        const bool shown = host.customNameShown();
        return host.exchange(DC_CMD_SET_CUST_NAME, [&] { m.SetCustomName(shown, *bytes); }, error);
    }
    default: break;
    }
    error = c.name + " is read only";
    return Outcome::Invalid;
}

// Names compare as the unit keeps them: trailing blanks go.
bool sameValue(const Control& c, const Value& a, const Value& b)
{
    if (c.type != Type::Text && c.kind != Kind::Effect)
        return a.raw == b.raw;
    if (c.kind == Kind::Effect)
        return a.raw == b.raw || folded(a.text) == folded(b.text);
    auto trimmed = [](std::string s) {
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    };
    return trimmed(a.text) == trimmed(b.text);
}

} // namespace

SetResult setValue(LineHost& host, const Control& c, const Value& target)
{
    SetResult result;
    std::string missing;
    const auto before = readValue(host.model(), c, host.readLog(), missing);
    if (!before) {
        result.outcome = Outcome::NotAnswered;
        result.error = missing;
        return result;
    }
    if (sameValue(c, *before, target)) {
        result.outcome = Outcome::Unchanged;
        result.after = *before;
        result.afterRead = true;
        return result;
    }
    result.outcome = perform(host, c, target, result.error);
    if (result.outcome != Outcome::Done && result.outcome != Outcome::Unchanged)
        return result;
    // What the unit reports now.
    if (!host.reread()) {
        result.outcome = host.lineLost() ? Outcome::LineLost : Outcome::NotAnswered;
        result.error = "the unit acknowledged the change but did not answer the status read";
        return result;
    }
    const auto after = readValue(host.model(), c, host.readLog(), missing);
    if (!after) {
        result.outcome = Outcome::NotAnswered;
        result.error = missing;
        return result;
    }
    result.after = *after;
    result.afterRead = true;
    if (!sameValue(c, *after, target)) {
        result.outcome = Outcome::Mismatch;
        result.error = "the unit reports " + c.name + " " + escapeControlCharacters(formatText(c, *after)) +
                       " after being asked for " + escapeControlCharacters(formatText(c, target));
    }
    return result;
}

std::optional<std::uint8_t> effectKeyOfName(std::string_view effectName)
{
    return effectKeyOf(effectName);
}

} // namespace bm::controls
