// What the simulated unit answers, sends by itself and keeps. Commands are a
// table (code, accepted data lengths, handler); the remote's keys are another.
// Every parameter change is reported with DC_PARAM_CHG_MSG, and while front
// panel reporting is on every change of the display text with DC_FPD.
#include "sim/simulated_unit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bm::sim {

std::vector<std::uint8_t> framed(std::uint8_t code, const std::vector<std::uint8_t>& data)
{
    const std::size_t n = std::min(data.size(), kMaxDataLength);
    std::vector<std::uint8_t> p;
    p.reserve(n + 5);
    p.push_back(kPacketStart);
    p.push_back(static_cast<std::uint8_t>(n + 3));
    p.push_back(code);
    p.push_back(static_cast<std::uint8_t>(n));
    p.insert(p.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    p.push_back(kPacketEnd);
    return p;
}

namespace {

bool validPacket(const std::uint8_t* p, std::size_t n)
{
    return n > 4 && p[0] == kPacketStart && p[1] == n - 2 && p[3] == p[1] - 3 && p[n - 1] == kPacketEnd;
}

// The unit's own name widths. The simulator keeps them apart from the
// program's (model/records.h) on purpose: it stands for the unit, so a program
// that cut or padded names at another width would meet a unit that does not.
constexpr std::size_t kUnitInputNameWidth = 8;
constexpr std::size_t kUnitCustomNameWidth = 20;

// The unit's remote keys and what each does. The codes are the link's own
// tables (link/packet.h), as are the packet codes; the names are the console's.
enum class KeyAction { None, StepUp, StepDown, Input, Effect, Loudness, Zone2Source, Zone2Mute, Record, Power };

struct KeyDef {
    std::uint8_t code;
    const char* name;
    KeyAction action;
    const char* target; // parameter for steps, effect name for effect keys
    int arg;
};

constexpr KeyDef kKeys[] = {
    {INPUT_TAPE, "INPUT_TAPE", KeyAction::Input, nullptr, 0},
    {INPUT_TUNER, "INPUT_TUNER", KeyAction::Input, nullptr, 1},
    {INPUT_CD, "INPUT_CD", KeyAction::Input, nullptr, 2},
    {INPUT_AUX, "INPUT_AUX", KeyAction::Input, nullptr, 3},
    {INPUT_TV, "INPUT_TV", KeyAction::Input, nullptr, 4},
    {INPUT_VDISC, "INPUT_VDISC", KeyAction::Input, nullptr, 5},
    {INPUT_DVD, "INPUT_DVD", KeyAction::Input, nullptr, 6},
    {INPUT_VCR, "INPUT_VCR", KeyAction::Input, nullptr, 7},
    {IR_ON, "ON", KeyAction::Power, nullptr, 1},
    {IR_OFF, "OFF", KeyAction::Power, nullptr, 0},
    {EFFECT_DOLBY, "EFFECT_DOLBY", KeyAction::Effect, "Dolby Digital", 0},
    {EFFECT_THX, "EFFECT_THX", KeyAction::Effect, "THX Cinema", 0},
    {EFFECT_LOGIC7, "EFFECT_LOGIC7", KeyAction::Effect, "Logic 7", 0},
    {EFFECT_DTS, "EFFECT_DTS", KeyAction::Effect, "DTS", 0},
    {EFFECT_2CH, "EFFECT_2CH", KeyAction::Effect, "2 Channel", 0},
    {EFFECT_PARTY, "EFFECT_PARTY", KeyAction::Effect, "Party", 0},
    {EFFECT_TVMATRIX, "EFFECT_TVMATRIX", KeyAction::Effect, "TV Matrix", 0},
    {EFFECT_MUSICLOGIC, "EFFECT_MUSICLOGIC", KeyAction::Effect, "Music Logic", 0},
    {zone2SourceKey(0), "ZONE2_TAPE", KeyAction::Zone2Source, nullptr, 0},
    {zone2SourceKey(1), "ZONE2_TUNER", KeyAction::Zone2Source, nullptr, 1},
    {zone2SourceKey(2), "ZONE2_CD", KeyAction::Zone2Source, nullptr, 2},
    {zone2SourceKey(3), "ZONE2_AUX", KeyAction::Zone2Source, nullptr, 3},
    {zone2SourceKey(4), "ZONE2_TV", KeyAction::Zone2Source, nullptr, 4},
    {zone2SourceKey(5), "ZONE2_VDISC", KeyAction::Zone2Source, nullptr, 5},
    {zone2SourceKey(6), "ZONE2_DVD", KeyAction::Zone2Source, nullptr, 6},
    {zone2SourceKey(7), "ZONE2_VCR", KeyAction::Zone2Source, nullptr, 7},
    {kIrZone2MuteToggle, "ZONE2_MUTE", KeyAction::Zone2Mute, nullptr, 0},
    {kIrZone2On, "ZONE2_ON", KeyAction::Record, nullptr, 1},
    {kIrZone2Off, "ZONE2_OFF", KeyAction::Record, nullptr, 0},
    {LOUDNESS_OFF, "LOUDNESS_OFF", KeyAction::Loudness, nullptr, 0},
    {TILT_DOWN, "TILT_DOWN", KeyAction::StepDown, "TILT", 0},
    {TREBLE_DOWN, "TREBLE_DOWN", KeyAction::StepDown, "TREBLE", 0},
    {BASS_DOWN, "BASS_DOWN", KeyAction::StepDown, "BASS", 0},
    {LOUDNESS_ON, "LOUDNESS_ON", KeyAction::Loudness, nullptr, 1},
    {TILT_UP, "TILT_UP", KeyAction::StepUp, "TILT", 0},
    {TREBLE_UP, "TREBLE_UP", KeyAction::StepUp, "TREBLE", 0},
    {BASS_UP, "BASS_UP", KeyAction::StepUp, "BASS", 0},
    {EFFECT_NIGHTCLUB, "EFFECT_NIGHTCLUB", KeyAction::Effect, "Nightclub", 0},
    {EFFECT_CONCERT, "EFFECT_CONCERT", KeyAction::Effect, "Concert Hall", 0},
    {EFFECT_CHURCH, "EFFECT_CHURCH", KeyAction::Effect, "Church", 0},
    {EFFECT_CATHEDRAL, "EFFECT_CATHEDRAL", KeyAction::Effect, "Cathedral", 0},
    {EFFECT_DIGAUDIO, "EFFECT_DIGAUDIO", KeyAction::Effect, "Digital Audio", 0},
    {EFFECT_PANORAMA, "EFFECT_PANORAMA", KeyAction::Effect, "Panorama", 0},
    {EFFECT_MONOLOGIC, "EFFECT_MONOLOGIC", KeyAction::Effect, "Mono Logic", 0},
    {EFFECT_MUSICSURROUND, "EFFECT_MUSICSURROUND", KeyAction::Effect, "Music Surrnd", 0},
};

const KeyDef* findKey(std::uint8_t code)
{
    for (const auto& k : kKeys)
        if (k.code == code)
            return &k;
    return nullptr;
}

// Direct level commands and the parameter each one sets.
struct LevelCommand {
    std::uint8_t code;
    const char* param;
};
constexpr LevelCommand kLevelCommands[] = {
    {DC_CMD_SET_SYS_VOLUME, "VOLUME"},    {DC_CMD_SET_SYS_BALANCE, "LR_BALANCE"},
    {DC_CMD_SET_FRONT_BACK_BALANCE, "FB_BALANCE"}, {DC_CMD_SET_ZONE2_VOLUME, "Z2_VOL"},
    {DC_CMD_SET_ZONE2_BALANCE, "Z2_BAL"}, {DC_CMD_SET_MUTE, "MUTE"},
};

// Output channels 0..7 of DC_CMD_SET_OUTPUT_ADJ.
constexpr const char* kOutputChannels[8] = {
    "OUT_ADJ_CENTER", "OUT_ADJ_SUB",    "OUT_ADJ_FRONT_L", "OUT_ADJ_FRONT_R",
    "OUT_ADJ_SIDE_L", "OUT_ADJ_SIDE_R", "OUT_ADJ_REAR_L",  "OUT_ADJ_REAR_R",
};

std::string upper(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool parseNumber(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0';
}

// Splits a console line into words; "double quoted" words may hold blanks.
bool splitWords(const std::string& line, std::vector<std::string>& words)
{
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        std::string w;
        if (line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string::npos)
                return false;
            w = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
                w += line[i++];
        }
        words.push_back(w);
    }
    return true;
}

std::string textField(const std::uint8_t* data, std::size_t n, std::size_t limit)
{
    std::string s;
    for (std::size_t i = 0; i < n && i < limit && data[i] != 0; ++i)
        s += static_cast<char>(data[i]);
    return s;
}

std::string trimRight(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

std::string padTo(std::string s, std::size_t width)
{
    if (s.size() > width)
        s.resize(width);
    s.resize(width, ' ');
    return s;
}

} // namespace

struct SimulatedUnit::CommandDef {
    std::uint8_t code;
    int minLength; // data bytes accepted: minLength..maxLength, -1 = the parameter count
    int maxLength;
    void (SimulatedUnit::*handler)(std::uint8_t, const std::uint8_t*, std::size_t, Emissions&);
};

const SimulatedUnit::CommandDef SimulatedUnit::kCommands[] = {
    {HOST_WAKEUP, 0, 0, &SimulatedUnit::onAckOnly},
    {HOST_SLEEP, 0, 0, &SimulatedUnit::onAckOnly},
    {DC_CMD_RESTORE_DEFAULTS, 0, 0, &SimulatedUnit::onRestoreDefaults},
    {DC_CMD_IR, 1, 1, &SimulatedUnit::onIr},
    {DC_CMD_GET_CONFIG, 0, 0, &SimulatedUnit::onGetConfig},
    {DC_CMD_GET_SYS_STATUS, 0, 0, &SimulatedUnit::onGetSysStatus},
    {DC_CMD_GET_REC_STATUS, 0, 0, &SimulatedUnit::onGetRecStatus},
    {DC_CMD_GET_SYS_PARAM_BY_ID, 1, 1, &SimulatedUnit::onGetParamById},
    {DC_CMD_GET_SYS_PARAM_VALUES, 0, 0, &SimulatedUnit::onGetParamValues},
    {DC_CMD_GET_EFFECT, 1, 1, &SimulatedUnit::onGetEffect},
    {DC_CMD_GET_EFFECT_PARAM_VALUES, 1, 1, &SimulatedUnit::onGetEffectValues},
    {DC_CMD_SET_SYS_PARAM_VALUES, -1, -1, &SimulatedUnit::onSetParamValues},
    {DC_CMD_SET_SYS_VOLUME, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_SET_SYS_BALANCE, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_SET_FRONT_BACK_BALANCE, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_CLEAR_REC_INPUT, 1, 1, &SimulatedUnit::onClearRecInput},
    {DC_CMD_SET_ZONE2_VOLUME, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_SET_ZONE2_BALANCE, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_SET_FPD_CTRL, 4, 4, &SimulatedUnit::onSetFpdCtrl},
    {DC_CMD_GET_CUST_NAME, 0, 0, &SimulatedUnit::onGetCustName},
    {DC_CMD_SET_CUST_NAME, 1, 252, &SimulatedUnit::onSetCustName},
    {DC_CMD_GET_INPUT_NAME, 1, 1, &SimulatedUnit::onGetInputName},
    {DC_CMD_SET_INPUT_NAME, 1, 252, &SimulatedUnit::onSetInputName},
    {DC_CMD_SET_MUTE, 1, 1, &SimulatedUnit::onSetLevel},
    {DC_CMD_SET_OUTPUT_ADJ, 2, 2, &SimulatedUnit::onSetOutputAdjust},
};

SimulatedUnit::SimulatedUnit(Model model, Firmware firmware) : SimulatedUnit(model, firmware, -1, -1) {}

SimulatedUnit::SimulatedUnit(Model model, Firmware firmware, int effectCount, int paramCount)
    : factory_(factoryData(model, firmware))
{
    growUnit(factory_, effectCount, paramCount);
    config_ = factory_.config;
    effects_ = factory_.effects;
    resetToFactory();
}

void SimulatedUnit::resetToFactory()
{
    params_ = factory_.params;
    inputNames_ = factory_.inputNames;
    customName_ = factory_.customName;
    customShown_ = false;
    displayOverride_.reset();
}

// ---------------------------------------------------------------- framing

Emissions SimulatedUnit::receive(const std::uint8_t* data, std::size_t length)
{
    rx_.insert(rx_.end(), data, data + length);
    Emissions out;
    for (;;) {
        const auto start = std::find(rx_.begin(), rx_.end(), kPacketStart);
        rx_.erase(rx_.begin(), start); // bytes that cannot start a packet
        if (rx_.size() < 2)
            break;
        const std::size_t total = static_cast<std::size_t>(rx_[1]) + 2;
        if (rx_.size() < total)
            break;
        const std::vector<std::uint8_t> packet(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(total));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(total));
        Emissions answer = handlePacket(packet.data(), packet.size());
        out.insert(out.end(), answer.begin(), answer.end());
    }
    return out;
}

bool SimulatedUnit::hasPartialPacket() const
{
    return !rx_.empty();
}

Emissions SimulatedUnit::abandonPartial()
{
    if (rx_.empty())
        return {};
    rx_.erase(rx_.begin());
    return receive(nullptr, 0);
}

Emissions SimulatedUnit::handlePacket(const std::uint8_t* packet, std::size_t length)
{
    Emissions out;
    ++packetsRead_;
    if (!validPacket(packet, length)) {
        nak(length > 2 ? packet[2] : 0, DC_ERR_INVALID_PACKET, out);
        return out;
    }
    received_.emplace_back(packet, packet + length);
    const std::uint8_t code = packet[2];
    const std::uint8_t* data = packet + 4;
    const std::size_t n = packet[3];

    // A waking unit takes the packet in and leaves it unanswered, as a
    // processor does while its DSP boots and the host's request times out.
    if (waking_)
        return out;
    if (nakCode_ == code) {
        nak(code, nakError_, out);
        return out;
    }
    for (const auto& def : kCommands) {
        if (def.code != code)
            continue;
        const int lo = def.minLength < 0 ? static_cast<int>(params_.size()) : def.minLength;
        const int hi = def.maxLength < 0 ? static_cast<int>(params_.size()) : def.maxLength;
        if (static_cast<int>(n) < lo || static_cast<int>(n) > hi) {
            nak(code, DC_INVALID_COUNT, out);
            return out;
        }
        (this->*def.handler)(code, data, n, out);
        return out;
    }
    nak(code, DC_INVALID_CMD, out);
    return out;
}

// ---------------------------------------------------------------- helpers

void SimulatedUnit::ack(std::uint8_t code, Emissions& out) const
{
    out.push_back({framed(DC_ACK, {code})});
}

void SimulatedUnit::nak(std::uint8_t code, std::uint8_t error, Emissions& out) const
{
    out.push_back({framed(DC_NAK, {code, error})});
}

void SimulatedUnit::report(int id, Emissions& out) const
{
    out.push_back({framed(DC_PARAM_CHG_MSG, {static_cast<std::uint8_t>(id), params_[static_cast<std::size_t>(id)].value})});
}

void SimulatedUnit::setParam(int id, std::uint8_t value, bool always, Emissions& out)
{
    if (id < 0)
        return;
    auto& p = params_[static_cast<std::size_t>(id)];
    const bool changed = p.value != value;
    p.value = value;
    if (changed || always)
        report(id, out);
    if (changed)
        displayOverride_.reset();
}

int SimulatedUnit::paramId(std::string_view name) const
{
    for (std::size_t i = 0; i < params_.size(); ++i)
        if (params_[i].name == name)
            return static_cast<int>(i);
    return -1;
}

std::uint8_t SimulatedUnit::paramValue(std::string_view name) const
{
    const int id = paramId(name);
    return id < 0 ? 0 : params_[static_cast<std::size_t>(id)].value;
}

std::array<std::uint8_t, 9> SimulatedUnit::sysStatus() const
{
    // Asleep, the unit plays nothing: no input, no effect (32), no signal.
    const std::uint8_t input = paramValue("INPUT");
    const InputSignal signal = asleep_ ? InputSignal{0, 0} : signalOfInput(input);
    return {paramValue("VOLUME"),
            static_cast<std::uint8_t>(asleep_ ? 8 : input),
            static_cast<std::uint8_t>(asleep_ ? 32 : paramValue("PROGRAM")),
            signal.sampleRate,
            signal.streamFormat,
            paramValue("MUTE"),
            0,
            paramValue("LR_BALANCE"),
            paramValue("FB_BALANCE")};
}

std::array<std::uint8_t, 5> SimulatedUnit::zone2Status() const
{
    return {paramValue("Z2_VOL"), paramValue("REC_INPUT"), paramValue("Z2_MUTE"), 0, paramValue("Z2_BAL")};
}

std::array<std::string, 2> SimulatedUnit::displayLines() const
{
    if (asleep_)
        return {"", ""};
    if (displayOverride_)
        return *displayOverride_;
    // "DVD        VOL -35dB" over "Logic 7       AC3 5.1".
    const std::uint8_t input = paramValue("INPUT");
    std::string name = input < 8 ? trimRight(inputNames_[input]) : std::string();
    std::string line1 = padTo(name, 11);
    if (paramValue("MUTE")) {
        line1 += "    MUTED";
    } else {
        char vol[16];
        std::snprintf(vol, sizeof vol, "VOL %3ddB", static_cast<int>(paramValue("VOLUME")) - 80);
        line1 += vol;
    }
    const std::uint8_t program = paramValue("PROGRAM");
    std::string line2 = padTo(program < effects_.size() ? effects_[program].name : std::string(), 13);
    const char* format = streamFormatText(signalOfInput(input).streamFormat);
    line2 += std::string(7 - std::min<std::size_t>(7, std::strlen(format)), ' ') + format;
    return {padTo(line1, 20), padTo(line2, 20)};
}

void SimulatedUnit::refreshDisplay(Emissions& out, bool force)
{
    if (!fpdOn_)
        return;
    const auto lines = displayLines();
    if (!force && lines == lastDisplaySent_)
        return;
    lastDisplaySent_ = lines;
    // Two 21-byte lines: up to 20 characters, NUL-padded.
    std::vector<std::uint8_t> data(42, 0);
    for (int l = 0; l < 2; ++l)
        std::memcpy(data.data() + 21 * l, lines[l].data(), std::min<std::size_t>(20, lines[l].size()));
    out.push_back({framed(DC_FPD, data)});
}

void SimulatedUnit::restart(Emissions& out)
{
    asleep_ = false;
    if (noWakeup_)
        return;
    out.push_back({framed(DC_WAKEUP), kRestartMs});
    refreshDisplay(out);
}

void SimulatedUnit::finishWaking(Emissions& out)
{
    if (!waking_)
        return;
    waking_ = false;
    out.push_back({framed(DC_WAKEUP)});
    refreshDisplay(out);
}

// ---------------------------------------------------------------- keys

int SimulatedUnit::keyCode(std::string_view name)
{
    const std::string wanted = upper(std::string(name));
    for (const auto& k : kKeys)
        if (wanted == k.name)
            return k.code;
    return -1;
}

bool SimulatedUnit::pressKey(std::uint8_t code, Emissions& out)
{
    const KeyDef* key = findKey(code);
    if (!key)
        return false;
    // By default a key reports the parameter it acts on even when it is
    // already where the key would put it (a tone control at its limit, the
    // input already selected). A unit set to report only real changes stays
    // silent then, as some firmware does.
    const bool always = !reportChangesOnly_;
    switch (key->action) {
    case KeyAction::StepUp:
    case KeyAction::StepDown: {
        const int id = paramId(key->target);
        if (id < 0)
            break;
        const auto& p = params_[static_cast<std::size_t>(id)];
        int v = p.value + (key->action == KeyAction::StepUp ? 1 : -1);
        v = std::clamp(v, 0, static_cast<int>(p.max));
        setParam(id, static_cast<std::uint8_t>(v), always, out);
        break;
    }
    case KeyAction::Input:
        setParam(paramId("INPUT"), static_cast<std::uint8_t>(key->arg), always, out);
        break;
    case KeyAction::Effect:
        for (std::size_t e = 0; e < effects_.size(); ++e)
            if (effects_[e].name == key->target)
                setParam(paramId("PROGRAM"), static_cast<std::uint8_t>(e), always, out);
        break;
    case KeyAction::Loudness:
        setParam(paramId("LOUDNESS"), static_cast<std::uint8_t>(key->arg), always, out);
        break;
    case KeyAction::Zone2Source:
        setParam(paramId("REC_INPUT"), static_cast<std::uint8_t>(key->arg), always, out);
        break;
    case KeyAction::Zone2Mute:
        setParam(paramId("Z2_MUTE"), paramValue("Z2_MUTE") ? 0 : 1, always, out);
        break;
    case KeyAction::Record:
        setParam(paramId("RECORD_ENABLED"), static_cast<std::uint8_t>(key->arg), always, out);
        break;
    case KeyAction::Power:
        if (key->arg == 0 && !asleep_) {
            asleep_ = true;
            out.push_back({framed(DC_SLEEP)});
        } else if (key->arg == 1 && asleep_) {
            asleep_ = false;
            waking_ = wakeBusyMs_ != 0;
            if (wakeBusyMs_ >= 0)
                out.push_back({framed(DC_WAKEUP), std::max(0, wakeBusyMs_)});
        }
        break;
    case KeyAction::None:
        break;
    }
    refreshDisplay(out);
    return true;
}

// ---------------------------------------------------------------- commands

void SimulatedUnit::onAckOnly(std::uint8_t code, const std::uint8_t*, std::size_t, Emissions& out)
{
    ack(code, out);
}

void SimulatedUnit::onIr(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    ack(code, out);
    pressKey(data[0], out); // keys the unit does not know do nothing
}

void SimulatedUnit::onGetConfig(std::uint8_t, const std::uint8_t*, std::size_t, Emissions& out)
{
    out.push_back({framed(DC_RESP_UNIT_CONFIG, {config_.begin(), config_.end()})});
}

void SimulatedUnit::onGetSysStatus(std::uint8_t, const std::uint8_t*, std::size_t, Emissions& out)
{
    const auto s = sysStatus();
    out.push_back({framed(DC_RESP_SYS_STATUS, {s.begin(), s.end()})});
}

void SimulatedUnit::onGetRecStatus(std::uint8_t, const std::uint8_t*, std::size_t, Emissions& out)
{
    const auto s = zone2Status();
    out.push_back({framed(DC_RESP_REC_ZONE2_STATUS, {s.begin(), s.end()})});
}

void SimulatedUnit::onGetParamById(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    const std::uint8_t id = data[0];
    if (id >= params_.size()) {
        nak(code, DC_INVALID_PARAM_ID, out);
        return;
    }
    const auto& p = params_[id];
    std::vector<std::uint8_t> d = {id, p.max, p.value};
    d.insert(d.end(), p.name.begin(), p.name.end());
    d.push_back(0);
    out.push_back({framed(DC_RESP_SYS_PARAM_DEF, d)});
}

void SimulatedUnit::onGetParamValues(std::uint8_t, const std::uint8_t*, std::size_t, Emissions& out)
{
    std::vector<std::uint8_t> d;
    for (const auto& p : params_)
        d.push_back(p.value);
    out.push_back({framed(DC_RESP_SYS_PARAM_VALUES, d)});
}

void SimulatedUnit::onGetEffect(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    const std::uint8_t id = data[0];
    if (id >= effects_.size()) {
        nak(code, DC_INVALID_EFFECT_ID, out);
        return;
    }
    const auto& e = effects_[id];
    std::vector<std::uint8_t> d = {id, static_cast<std::uint8_t>(e.params.size())};
    d.insert(d.end(), e.name.begin(), e.name.end());
    d.push_back(0);
    out.push_back({framed(DC_RESP_EFFECT_DEF, d)});
}

void SimulatedUnit::onGetEffectValues(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    const std::uint8_t id = data[0];
    if (id >= effects_.size()) {
        nak(code, DC_INVALID_EFFECT_ID, out);
        return;
    }
    std::vector<std::uint8_t> d = {id};
    d.insert(d.end(), effects_[id].params.begin(), effects_[id].params.end());
    out.push_back({framed(DC_RESP_EFFECT_PARAM_VALUES, d)});
}

void SimulatedUnit::onSetParamValues(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out)
{
    // All or nothing: one value above its maximum refuses the whole set.
    for (std::size_t i = 0; i < n; ++i) {
        if (data[i] > params_[i].max) {
            nak(code, DC_INVALID_DATA, out);
            return;
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        params_[i].value = data[i];
    displayOverride_.reset();
    ack(code, out);
    restart(out);
}

void SimulatedUnit::onSetLevel(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    for (const auto& c : kLevelCommands) {
        if (c.code != code)
            continue;
        const int id = paramId(c.param);
        if (id < 0 || data[0] > params_[static_cast<std::size_t>(id)].max) {
            nak(code, DC_INVALID_DATA, out);
            return;
        }
        ack(code, out);
        setParam(id, data[0], false, out);
        refreshDisplay(out);
        return;
    }
}

void SimulatedUnit::onSetOutputAdjust(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    const std::uint8_t value = data[0];
    const std::uint8_t channel = data[1];
    const int id = channel < 8 ? paramId(kOutputChannels[channel]) : -1;
    if (id < 0 || value > params_[static_cast<std::size_t>(id)].max) {
        nak(code, DC_INVALID_DATA, out);
        return;
    }
    ack(code, out);
    setParam(id, value, false, out);
}

void SimulatedUnit::onClearRecInput(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    if (data[0] > 7) {
        nak(code, DC_INVALID_INPUT, out);
        return;
    }
    ack(code, out);
    // Clearing the record input that zone 2 plays hands zone 2 back to the
    // main room's input; naming another input changes nothing.
    if (data[0] == paramValue("REC_INPUT"))
        setParam(paramId("REC_INPUT"), paramValue("INPUT"), false, out);
}

void SimulatedUnit::onSetFpdCtrl(std::uint8_t, const std::uint8_t* data, std::size_t, Emissions& out)
{
    // The first byte switches reporting: FF FF FF C8 on, 00 00 00 32 off.
    std::copy(data, data + 4, fpdControl_.begin());
    fpdOn_ = data[0] != 0;
    out.push_back({framed(DC_RESP_FPD_CTRL_STATUS, {fpdControl_.begin(), fpdControl_.end()})});
    refreshDisplay(out, true);
}

void SimulatedUnit::onGetCustName(std::uint8_t, const std::uint8_t*, std::size_t, Emissions& out)
{
    // A name longer than the unit's own 20 characters comes only from the
    // console's "name custom"; it is reported whole.
    std::vector<std::uint8_t> d(std::max(kUnitCustomNameWidth + 1, customName_.size() + 1), 0);
    std::copy(customName_.begin(), customName_.end(), d.begin());
    if (fullWidthNames_ && customName_.size() <= kUnitCustomNameWidth) {
        // The whole 20-character field, blank-padded, and no NUL after it.
        d.resize(kUnitCustomNameWidth);
        std::fill(d.begin() + static_cast<std::ptrdiff_t>(customName_.size()), d.end(), ' ');
    }
    out.push_back({framed(DC_RESP_CUST_NAME, d)});
}

void SimulatedUnit::onSetCustName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out)
{
    const std::string name = textField(data + 1, n - 1, n);
    if (refuseLongNames_ && name.size() > kUnitCustomNameWidth) {
        nak(code, DC_INVALID_NAME, out);
        return;
    }
    customShown_ = data[0] != 0;
    customName_ = name.substr(0, kUnitCustomNameWidth);
    ack(code, out);
}

void SimulatedUnit::onGetInputName(std::uint8_t code, const std::uint8_t* data, std::size_t, Emissions& out)
{
    const std::uint8_t index = data[0];
    if (index > 7) {
        nak(code, DC_INVALID_INPUT, out);
        return;
    }
    // Names longer than 8 characters come only from the console's "name";
    // they are reported whole.
    const auto& name = inputNames_[index];
    std::vector<std::uint8_t> d(std::max(kUnitInputNameWidth + 2, name.size() + 2), 0);
    d[0] = index;
    std::copy(name.begin(), name.end(), d.begin() + 1);
    if (fullWidthNames_ && name.size() <= kUnitInputNameWidth) {
        // Index and the whole 8-character field, blank-padded, and no NUL.
        d.resize(1 + kUnitInputNameWidth);
        std::fill(d.begin() + 1 + static_cast<std::ptrdiff_t>(name.size()), d.end(), ' ');
    }
    out.push_back({framed(DC_RESP_INPUT_NAME, d)});
}

void SimulatedUnit::onSetInputName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out)
{
    const std::uint8_t index = data[0];
    if (index > 7) {
        nak(code, DC_INVALID_INPUT, out);
        return;
    }
    const std::string name = textField(data + 1, n - 1, n);
    if (refuseLongNames_ && name.size() > kUnitInputNameWidth) {
        nak(code, DC_INVALID_NAME, out);
        return;
    }
    inputNames_[index] = name.substr(0, kUnitInputNameWidth);
    ack(code, out);
    if (paramValue("INPUT") == index)
        refreshDisplay(out);
}

void SimulatedUnit::onRestoreDefaults(std::uint8_t code, const std::uint8_t*, std::size_t, Emissions& out)
{
    ack(code, out);
    resetToFactory();
    restart(out);
}

// ---------------------------------------------------------------- console

std::string SimulatedUnit::consoleHelp()
{
    return "Console commands (the unit's front panel and remote):\n"
           "  set NAME VALUE        set a system parameter (e.g. set VOLUME 50)\n"
           "  ir KEY                press a remote key by name (BASS_UP, INPUT_DVD, OFF,\n"
           "                        ZONE2_MUTE, ...) or by code (0x93)\n"
           "  sleep                 go to sleep (DC_SLEEP)\n"
           "  wake                  wake up (DC_WAKEUP once ready, see wake-busy)\n"
           "  wake-busy MS          waking takes MS ms, commands unanswered meanwhile\n"
           "                        (0: ready at once; -1: never ready until `ready`)\n"
           "  ready                 finish waking now (DC_WAKEUP)\n"
           "  display \"L1\" \"L2\"     show this text until the next change\n"
           "  name N \"TEXT\"         store input N's name as given, up to 20 characters\n"
           "  name custom \"TEXT\"    store the custom name as given, up to 30 characters\n"
           "  help                  this text\n";
}

bool SimulatedUnit::console(const std::string& line, Emissions& out, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    std::vector<std::string> words;
    if (!splitWords(line, words))
        return fail("unbalanced quotes");
    if (words.empty())
        return true;
    const std::string verb = upper(words[0]);

    if (verb == "HELP")
        return true;
    if (verb == "SET") {
        if (words.size() != 3)
            return fail("usage: set NAME VALUE");
        const int id = paramId(upper(words[1]));
        if (id < 0)
            return fail("no parameter named " + words[1]);
        long v = 0;
        if (!parseNumber(words[2], v) || v < 0 || v > params_[static_cast<std::size_t>(id)].max)
            return fail("value out of range 0.." + std::to_string(params_[static_cast<std::size_t>(id)].max));
        setParam(id, static_cast<std::uint8_t>(v), true, out);
        refreshDisplay(out);
        return true;
    }
    if (verb == "IR") {
        if (words.size() != 2)
            return fail("usage: ir KEY");
        int code = keyCode(words[1]);
        long v = 0;
        if (code < 0 && parseNumber(words[1], v) && v >= 0 && v <= 0xFF)
            code = static_cast<int>(v);
        if (code < 0)
            return fail("no key named " + words[1]);
        if (!pressKey(static_cast<std::uint8_t>(code), out))
            return fail("the unit does nothing for key " + words[1]);
        return true;
    }
    if (verb == "SLEEP" || verb == "WAKE") {
        if (words.size() != 1)
            return fail("usage: " + words[0]);
        pressKey(verb == "SLEEP" ? IR_OFF : IR_ON, out);
        return true;
    }
    if (verb == "WAKE-BUSY") {
        long v = 0;
        const bool negative = words.size() == 2 && words[1] == "-1";
        if (words.size() != 2 || (!negative && (!parseNumber(words[1], v) || v > 60000)))
            return fail("usage: wake-busy MS (0..60000, or -1 for never)");
        wakeBusyMs_ = negative ? -1 : static_cast<int>(v);
        return true;
    }
    if (verb == "READY") {
        if (words.size() != 1)
            return fail("usage: ready");
        finishWaking(out);
        return true;
    }
    if (verb == "NAME") {
        // Stores the text as given, beyond the unit's own name lengths, so
        // that a host can be shown names longer than its fields.
        if (words.size() != 3)
            return fail("usage: name N|custom \"TEXT\"");
        long index = 0;
        if (upper(words[1]) == "CUSTOM") {
            if (words[2].size() > 30)
                return fail("a custom name has at most 30 characters here");
            customName_ = words[2];
            return true;
        }
        if (!parseNumber(words[1], index) || index < 0 || index > 7)
            return fail("input index out of range 0..7");
        if (words[2].size() > 20)
            return fail("an input name has at most 20 characters here");
        inputNames_[static_cast<std::size_t>(index)] = words[2];
        return true;
    }
    if (verb == "DISPLAY") {
        if (words.size() < 2 || words.size() > 3)
            return fail("usage: display \"LINE1\" \"LINE2\"");
        std::array<std::string, 2> lines = {words[1], words.size() > 2 ? words[2] : std::string()};
        for (auto& l : lines)
            l = padTo(l, 20);
        displayOverride_ = lines;
        refreshDisplay(out);
        return true;
    }
    return fail("unknown command '" + words[0] + "' (try help)");
}

// ---------------------------------------------------------------- faults, snapshot

void SimulatedUnit::setNakCommand(int code, std::uint8_t error)
{
    nakCode_ = code;
    nakError_ = error;
}

void SimulatedUnit::setNoWakeupAfterRestart(bool on)
{
    noWakeup_ = on;
}

UnitSnapshot SimulatedUnit::snapshot() const
{
    UnitSnapshot s;
    s.unitConfig = config_;
    for (const auto& p : params_) {
        s.paramNames.push_back(p.name);
        s.paramMax.push_back(p.max);
        s.paramValues.push_back(p.value);
    }
    for (const auto& e : effects_) {
        s.effectNames.push_back(e.name);
        s.effectParams.push_back(e.params);
    }
    s.inputNames = inputNames_;
    s.customName = customName_;
    s.customNameShown = customShown_;
    s.sysStatus = sysStatus();
    s.zone2Status = zone2Status();
    s.frontPanelReporting = fpdOn_;
    s.asleep = asleep_;
    s.waking = waking_;
    s.displayLines = displayLines();
    return s;
}

} // namespace bm::sim
