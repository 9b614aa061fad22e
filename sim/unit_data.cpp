// The two firmwares' tables. Firmware B is firmware A with four parameters
// taken out and a few moved, as a later ROM would shuffle them, so that a
// program that caches ids by ROM timestamp sees BASS, VOLUME and the speaker
// settings at other ids.
#include "sim/unit_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace bm::sim {
namespace {

const char* const kEffectNames[] = {
    "Logic 7",    "Dolby Digital", "THX Cinema", "DTS",          "2 Channel", "Party",
    "TV Matrix",  "Music Logic",   "Nightclub",  "Concert Hall", "Church",    "Cathedral",
    "Digital Audio", "Panorama",   "Mono Logic", "Music Surrnd", "Jazz Club", "Chamber",
    "Stadium",    "Auditorium",    "Small Room", "Mono Film",
};

const char* const kInputTags[8] = {"TAPE", "TUNER", "CD", "AUX", "TV", "VDISC", "DVD", "VCR"};

constexpr std::uint8_t kNoEffectMax = 0xFF; // placeholder: replaced by TotalEffects - 1

std::vector<ParamSpec> firmwareAParams()
{
    std::vector<ParamSpec> p = {
        {"DISPLAY_BRIGHT", 3, 2},
        // Live settings, most of them mirrored in the status records.
        {"PROGRAM", kNoEffectMax, 0},
        {"MUTE", 1, 0},
        {"VOLUME", 92, 45},
        {"LR_BALANCE", 32, 16},
        {"FB_BALANCE", 32, 16},
        {"INPUT", 7, 6},
        {"RECORD_ENABLED", 1, 1},
        {"REC_INPUT", 7, 2},
        {"Z2_VOL", 92, 40},
        {"Z2_BAL", 32, 16},
        {"Z2_MUTE", 1, 0},
        {"BASS", 24, 12},
        {"TREBLE", 24, 12},
        {"LOUDNESS", 1, 0},
        {"TILT", 30, 15},
        {"MENU_BKGND", 3, 1},
        // Output levels, channel order center, sub, front, side, rear.
        {"OUT_ADJ_CENTER", 40, 20},
        {"OUT_ADJ_SUB", 40, 20},
        {"OUT_ADJ_FRONT_L", 40, 20},
        {"OUT_ADJ_FRONT_R", 40, 20},
        {"OUT_ADJ_SIDE_L", 40, 20},
        {"OUT_ADJ_SIDE_R", 40, 20},
        {"OUT_ADJ_REAR_L", 40, 20},
        {"OUT_ADJ_REAR_R", 40, 20},
        // Speakers: small fronts, center, standard sides and rears at 80 Hz,
        // subwoofer at 80 Hz.
        {"FRONT_SPKR", 1, 1},
        {"FRONT_HPASS_SMALL", 3, 2},
        {"FRONT_HPASS", 3, 2},
        {"CENTER_SPKR", 2, 1},
        {"BSPLIT_SMALL", 2, 1},
        {"BSPLIT", 4, 3},
        {"SIDE_SPKR", 4, 3},
        {"SIDE_STD_HPASS", 2, 1},
        {"SIDE_DIPOLE_HPASS", 2, 0},
        {"SIDE_HPASS", 3, 2},
        {"REAR_SPKR", 2, 1},
        {"REAR_SMALL_HPASS", 3, 2},
        {"REAR_HPASS", 3, 2},
        {"SUBWOOFER", 1, 1},
        {"SUB_LOWPASS", 3, 2},
        // Delays in feet.
        {"DELAY_CENTER", 60, 12},
        {"DELAY_FRONT_L", 60, 14},
        {"DELAY_FRONT_R", 60, 14},
        {"DELAY_SIDE_L", 60, 9},
        {"DELAY_SIDE_R", 60, 9},
        {"DELAY_REAR_L", 60, 6},
        {"DELAY_REAR_R", 60, 6},
        {"DELAY_SUB", 60, 12},
        // Effect levels.
        {"LVL_CENTER_MIX", 40, 20},
        {"LVL_SURROUND", 40, 20},
        {"LVL_REAR", 40, 20},
        {"LVL_LFE", 40, 20},
        {"LVL_DIALOG", 40, 20},
        {"LVL_REVERB", 40, 12},
        {"LVL_EARLY_REFL", 40, 14},
        {"LVL_ROOM_SIZE", 20, 8},
        {"LVL_LIVENESS", 20, 10},
        {"LVL_CENTER_WIDTH", 7, 3},
        {"LVL_DIMENSION", 6, 3},
        {"LVL_PANORAMA", 1, 0},
    };
    // Per input: default effects by stream type, digital input, trim, video.
    for (int i = 0; i < 8; ++i) {
        const std::string tag = std::string("IN_") + kInputTags[i];
        const std::uint8_t digital = (i == 2 || i >= 4) ? static_cast<std::uint8_t>(1 + i % 4) : 0;
        p.push_back({tag + "_EFFECT", kNoEffectMax, static_cast<std::uint8_t>(i % 5)});
        p.push_back({tag + "_DIGITAL", 4, digital});
        p.push_back({tag + "_TRIM", 24, 12});
        p.push_back({tag + "_VIDEO", 3, static_cast<std::uint8_t>(i % 4)});
        p.push_back({tag + "_DTS_EFF", kNoEffectMax, 3});
        p.push_back({tag + "_AC3_EFF", kNoEffectMax, 1});
        p.push_back({tag + "_PCM_EFF", kNoEffectMax, 4});
        p.push_back({tag + "_SENSE", 1, static_cast<std::uint8_t>(digital ? 1 : 0)});
    }
    const std::vector<ParamSpec> rest = {
        // Menus and the front panel.
        {"MENU_TIMEOUT", 30, 10},
        {"MENU_POSITION", 3, 0},
        {"MENU_LANGUAGE", 4, 0},
        {"MENU_TRANSPARENT", 1, 0},
        {"OSD_ENABLE", 1, 1},
        {"OSD_VOLUME", 1, 1},
        {"OSD_INPUT", 1, 1},
        {"OSD_TIMEOUT", 10, 3},
        {"DISPLAY_TIMEOUT", 60, 0},
        {"DISPLAY_MODE", 3, 0},
        // Tone controls.
        {"BASS_FREQ", 3, 1},
        {"TREBLE_FREQ", 3, 2},
        {"TILT_PIVOT", 4, 2},
        {"LOUDNESS_LEVEL", 10, 5},
        {"BASS_BYPASS", 1, 0},
        // Power-on and limits.
        {"TURN_ON_VOLUME", 92, 40},
        {"TURN_ON_INPUT", 8, 8},
        {"MAX_VOLUME", 92, 92},
        {"Z2_TURN_ON_VOL", 92, 35},
        {"Z2_MAX_VOL", 92, 80},
        {"AUTO_STANDBY", 1, 0},
        {"STANDBY_TIME", 12, 4},
        // Decoding.
        {"DYN_RANGE", 2, 0},
        {"NIGHT_MODE", 1, 0},
        {"LIPSYNC_DELAY", 40, 0},
        {"DIALOG_NORM", 1, 1},
        {"LFE_BYPASS", 1, 0},
        {"DOWNMIX_MODE", 2, 0},
        {"CENTER_SPREAD", 1, 0},
        {"DOLBY_EX_MODE", 2, 1},
        {"DTS_ES_MODE", 2, 1},
        // Triggers and remote control.
        {"TRIG1_MODE", 3, 1},
        {"TRIG2_MODE", 3, 0},
        {"TRIG1_DELAY", 10, 2},
        {"TRIG2_DELAY", 10, 2},
        {"IR_CODE_SET", 3, 0},
        {"IR_FRONT_ENABLE", 1, 1},
        {"RS232_ECHO", 1, 0},
        {"RS232_REPORTS", 1, 1},
        // Test noise.
        {"NOISE_SEQ_MODE", 1, 0},
        {"NOISE_SEQ_TIME", 10, 3},
        {"NOISE_LEVEL", 40, 20},
        // Room equalizer.
        {"EQ_ENABLE", 1, 0},
        {"EQ_FRONT_32HZ", 24, 12},
        {"EQ_FRONT_63HZ", 24, 12},
        {"EQ_FRONT_125HZ", 24, 11},
        {"EQ_FRONT_250HZ", 24, 12},
        {"EQ_FRONT_500HZ", 24, 12},
        {"EQ_FRONT_1KHZ", 24, 12},
        {"EQ_FRONT_2KHZ", 24, 13},
        {"EQ_FRONT_4KHZ", 24, 12},
        {"EQ_FRONT_8KHZ", 24, 12},
        {"EQ_FRONT_16KHZ", 24, 10},
        {"EQ_CENTER_LOW", 24, 12},
        {"EQ_CENTER_MID", 24, 12},
        {"EQ_CENTER_HIGH", 24, 12},
        {"EQ_SURR_LOW", 24, 12},
        {"EQ_SURR_MID", 24, 12},
        {"EQ_SURR_HIGH", 24, 12},
        // Odds and ends.
        {"TUNER_BAND", 1, 0},
        {"TUNER_PRESET", 29, 0},
        {"DIGITAL_OUT", 1, 1},
        {"ANALOG_BYPASS", 1, 0},
        {"PHASE_SUB", 1, 0},
        {"SUB_CROSS_SLOPE", 1, 0},
        {"FRONT_SUB_MIX", 1, 0},
        {"MONO_SUB", 1, 1},
        {"CENTER_DELAY_FINE", 9, 0},
    };
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
}

std::vector<ParamSpec>::iterator findParam(std::vector<ParamSpec>& p, std::string_view name)
{
    return std::find_if(p.begin(), p.end(), [&](const ParamSpec& s) { return s.name == name; });
}

// Moves parameter `name` to sit just after parameter `after`.
void moveAfter(std::vector<ParamSpec>& p, std::string_view name, std::string_view after)
{
    auto it = findParam(p, name);
    if (it == p.end())
        return;
    const ParamSpec moved = *it;
    p.erase(it);
    auto at = findParam(p, after);
    if (at == p.end())
        return;
    p.insert(at + 1, moved);
}

std::vector<ParamSpec> firmwareBParams()
{
    std::vector<ParamSpec> p = firmwareAParams();
    for (const char* gone : {"TUNER_BAND", "TUNER_PRESET", "ANALOG_BYPASS", "NOISE_LEVEL"})
        p.erase(findParam(p, gone));
    // The later ROM groups the tone controls together, keeps the volume
    // beside the zone 2 settings and puts the delays before the speakers.
    moveAfter(p, "BASS", "TREBLE");
    moveAfter(p, "VOLUME", "Z2_MUTE");
    const char* const delays[] = {"DELAY_CENTER", "DELAY_FRONT_L", "DELAY_FRONT_R", "DELAY_SIDE_L",
                                  "DELAY_SIDE_R", "DELAY_REAR_L",  "DELAY_REAR_R",  "DELAY_SUB"};
    std::string_view after = "OUT_ADJ_REAR_R";
    for (const char* d : delays) {
        moveAfter(p, d, after);
        after = d;
    }
    return p;
}

std::vector<std::uint8_t> effectParams(std::size_t id)
{
    // Between 4 and 16 parameters, deterministic values below 32.
    const std::size_t count = 4 + (id * 5) % 13;
    std::vector<std::uint8_t> v(count);
    for (std::size_t k = 0; k < count; ++k)
        v[k] = static_cast<std::uint8_t>((id * 7 + k * 3 + 1) % 32);
    return v;
}

} // namespace

UnitData factoryData(Model model, Firmware firmware)
{
    UnitData d;
    d.params = firmware == Firmware::A ? firmwareAParams() : firmwareBParams();
    for (std::size_t id = 0; id < std::size(kEffectNames); ++id) {
        if (firmware == Firmware::B && std::string_view(kEffectNames[id]) == "Stadium")
            continue;
        d.effects.push_back({kEffectNames[id], effectParams(d.effects.size())});
    }
    const auto lastEffect = static_cast<std::uint8_t>(d.effects.size() - 1);
    for (auto& p : d.params)
        if (p.max == kNoEffectMax)
            p.max = lastEffect;
    findParam(d.params, "PROGRAM")->value = 0;

    const bool de1 = model == Model::DE1;
    const bool a = firmware == Firmware::A;
    d.config = {
        static_cast<std::uint8_t>(de1 ? 2 : 1),   // product: 2 DE-1, 1 ZA-2
        static_cast<std::uint8_t>(de1 ? 4 : 2),   // software type: COMPLETE / AC3
        0,                                         // released
        2,
        static_cast<std::uint8_t>(a ? 14 : 31),
        1,
        3,
        static_cast<std::uint8_t>(d.params.size()),
        static_cast<std::uint8_t>(d.effects.size()),
    };
    const char* stamp = a ? "99/03/09 18:34" : "99/11/22 09:05";
    std::memcpy(d.config.data() + 9, stamp, std::strlen(stamp));

    d.inputNames = {"TAPE", "TUNER   ", "CD", "AUX", "SAT TV  ", "V-DISC", "DVD     ", "VCR"};
    d.customName = de1 ? "Screening Room" : "Studio B";
    return d;
}

void growUnit(UnitData& data, int effectCount, int paramCount)
{
    char name[32];
    for (int id = static_cast<int>(data.effects.size()); id < effectCount && id < 255; ++id) {
        std::snprintf(name, sizeof name, "Preset %d", id);
        data.effects.push_back({name, effectParams(static_cast<std::size_t>(id))});
    }
    for (int id = static_cast<int>(data.params.size()); id < paramCount && id < 255; ++id) {
        std::snprintf(name, sizeof name, "USER_SETTING_%d", id);
        data.params.push_back({name, 9, static_cast<std::uint8_t>(id % 10)});
    }
    const auto lastEffect = static_cast<std::uint8_t>(data.effects.size() - 1);
    for (auto& p : data.params) {
        if (p.name == "PROGRAM" || p.name.find("_EFF") != std::string::npos)
            p.max = lastEffect;
    }
    data.config[7] = static_cast<std::uint8_t>(data.params.size());
    data.config[8] = static_cast<std::uint8_t>(data.effects.size());
}

InputSignal signalOfInput(std::uint8_t input)
{
    // Tape, tuner, CD, aux, TV, V-Disc, DVD, VCR.
    static constexpr InputSignal kSignals[8] = {{1, 3}, {1, 3}, {1, 2}, {2, 3},
                                                {2, 1}, {2, 5}, {2, 6}, {2, 3}};
    return input < 8 ? kSignals[input] : InputSignal{0, 0};
}

const char* streamFormatText(std::uint8_t format)
{
    static constexpr const char* kFormats[] = {"", "AC3", "PCM", "Analog", "DTS", "AC3 2.0", "AC3 5.1", "AC3 EX"};
    return format < std::size(kFormats) ? kFormats[format] : "";
}

} // namespace bm::sim
