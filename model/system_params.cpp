// System parameters: the named-parameter slots, reading and writing all values
// (with the optional wait through the link's capture queue), the unit's change
// messages and the speaker encodings of the Speaker Config page.
#include "model/device_model.h"

#include "link/capture_scope.h"
#include "link/packet.h"
#include "link/quor_control.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace bm {

// --- Named slots -----------------------------------------------------------------

int DeviceModel::ResolveNamedParam(std::string_view name, std::uint8_t id)
{
    std::lock_guard lock(mutex_);
    return resolveLocked(name, id);
}

int DeviceModel::resolveLocked(std::string_view name, std::uint8_t id)
{
    for (int i = 0; i < kNamedParamCount; ++i) {
        if (name == kNamedParamNames[i]) {
            slots_[static_cast<std::size_t>(i)] = id;
            return 1;
        }
    }
    return 0;
}

bool DeviceModel::paramDefined(std::uint8_t id) const
{
    std::lock_guard lock(mutex_);
    return paramDefined_[id];
}

std::uint8_t DeviceModel::BassLevel() const
{
    std::lock_guard lock(mutex_);
    return slotValueLocked(NamedParam::BASS);
}

std::uint8_t DeviceModel::TrebleLevel() const
{
    std::lock_guard lock(mutex_);
    return slotValueLocked(NamedParam::TREBLE);
}

std::uint8_t DeviceModel::TiltLevel() const
{
    std::lock_guard lock(mutex_);
    return slotValueLocked(NamedParam::TILT);
}

std::uint8_t DeviceModel::LoudnessState() const
{
    std::lock_guard lock(mutex_);
    return slotValueLocked(NamedParam::LOUDNESS);
}

std::uint8_t DeviceModel::RecordEnabledState() const
{
    std::lock_guard lock(mutex_);
    return slotValueLocked(NamedParam::RECORD_ENABLED);
}

// --- All values at once ----------------------------------------------------------

int DeviceModel::GetSysParams(bool wait)
{
    CQuorControl& l = link();
    l.trace("GetSysParams....\r\n");
    if (!wait) {
        send(DC_CMD_GET_SYS_PARAM_VALUES);
        return 1;
    }

    // Waits for the line first: a download or sweep under way runs to its end
    // and the values read afterwards are the ones its definitions describe.
    CaptureScope capture(l, l.state().ParamCaptureActive);
    if (capture.outcome() != Outcome::Pending)
        return 0; // the line was lost or the link is closing: nothing sent
    send(DC_CMD_GET_SYS_PARAM_VALUES);
    const std::optional<Packet> p = capture.await(matchCode(DC_RESP_SYS_PARAM_VALUES),
                                                  l.timing(Timing::SaveConfigWaitCount),
                                                  l.timing(Timing::SaveConfigWaitInterval));
    if (!p)
        return 0;
    {
        std::lock_guard lock(mutex_);
        storeValuesLocked(p->data(), p->dataLength());
    }
    return 1;
}

int DeviceModel::SetSysParams(bool wait)
{
    int count;
    {
        std::lock_guard lock(mutex_);
        count = paramValueCount_;
        // A value whose definition is not held cannot be checked against its
        // maximum (an unknown maximum reads as 0): nothing goes out then.
        for (int i = 0; i < count; ++i) {
            if (!paramDefined_[static_cast<std::size_t>(i)]) {
                paramWrite_ = static_cast<int>(Outcome::Pending);
                return -1;
            }
        }
    }
    // The count byte of a frame is one byte: more than 252 values cannot go out.
    if (count > static_cast<int>(kMaxDataLength)) {
        paramWrite_ = static_cast<int>(Outcome::Pending);
        return -1;
    }

    for (int i = 0; i < count; ++i) {
        const auto id = static_cast<std::size_t>(i);
        std::uint8_t value, maximum;
        std::string name;
        {
            std::lock_guard lock(mutex_);
            value = paramValues_[id];
            maximum = paramDefs_[id].maximum;
            if (value <= maximum)
                continue;
            name = paramDefs_[id].nameText();
        }
        char text[160];
        std::snprintf(text, sizeof text,
                      "Reseting BAD System Paramater ID=%02x(%s)  ATTEMPTED_WRITE=%02x  MAX=%02x", i,
                      name.c_str(), value, maximum);
        prompt_.ask(text);
        std::lock_guard lock(mutex_);
        paramValues_[id] = maximum;
    }

    std::uint8_t data[kMaxDataLength];
    {
        std::lock_guard lock(mutex_);
        std::memcpy(data, paramValues_.data(), static_cast<std::size_t>(count));
    }
    if (!wait) {
        send(DC_CMD_SET_SYS_PARAM_VALUES, data, static_cast<std::size_t>(count));
        return 1;
    }

    CQuorControl& l = link();
    CaptureScope capture(l, l.state().ParamCaptureActive);
    auto ended = [&](Outcome outcome) {
        paramWrite_ = static_cast<int>(outcome);
        return outcome == Outcome::Done ? 1 : 0;
    };
    if (capture.outcome() != Outcome::Pending)
        return ended(capture.outcome()); // the line could not be had: nothing sent
    send(DC_CMD_SET_SYS_PARAM_VALUES, data, static_cast<std::size_t>(count));

    // First the acknowledgement; any refusal ends the write.
    const std::optional<Packet> answer =
        capture.await(matchAckOrNak(DC_CMD_SET_SYS_PARAM_VALUES),
                      l.timing(Timing::RestoreConfigWaitCount), l.timing(Timing::RestoreConfigWaitInterval));
    if (!answer)
        return ended(capture.outcome());
    if (answer->code() == DC_NAK)
        return ended(Outcome::Refused);

    // Then the unit restarts with the new values and announces itself. The
    // unit took the write: without the restart (none came, or the line went)
    // the write is acknowledged, not confirmed.
    const std::optional<Packet> wakeup =
        capture.await(matchCode(DC_WAKEUP), l.timing(Timing::RestoreConfigWakeupWaitCount),
                      l.timing(Timing::RestoreConfigWakeupWaitInterval));
    return ended(wakeup ? Outcome::Done : Outcome::Unconfirmed);
}

Outcome DeviceModel::lastParamWrite() const
{
    return static_cast<Outcome>(paramWrite_.load());
}

// --- The unit's change messages --------------------------------------------------

void DeviceModel::mirrorParamChange(std::uint8_t id, std::uint8_t value)
{
    enum class Action { Program, Status, Nothing, Tone };
    struct Mirror {
        NamedParam slot;
        Action action;
        std::uint8_t UnitStatus::*field;
        ToneControl tone;
    };
    // Searched in this order; the first slot holding the id decides.
    static constexpr Mirror kMirrors[] = {
        {NamedParam::PROGRAM, Action::Program, &UnitStatus::Effect, ToneControl::Bass},
        {NamedParam::MUTE, Action::Status, &UnitStatus::Mute, ToneControl::Bass},
        {NamedParam::VOLUME, Action::Status, &UnitStatus::Volume, ToneControl::Bass},
        {NamedParam::LR_BALANCE, Action::Status, &UnitStatus::Balance, ToneControl::Bass},
        {NamedParam::INPUT, Action::Status, &UnitStatus::Input, ToneControl::Bass},
        {NamedParam::RECORD_ENABLED, Action::Nothing, nullptr, ToneControl::Bass},
        {NamedParam::Z2_VOL, Action::Status, &UnitStatus::Zone2Volume, ToneControl::Bass},
        {NamedParam::Z2_BAL, Action::Status, &UnitStatus::Zone2Balance, ToneControl::Bass},
        {NamedParam::Z2_MUTE, Action::Status, &UnitStatus::Zone2Mute, ToneControl::Bass},
        {NamedParam::BASS, Action::Tone, nullptr, ToneControl::Bass},
        {NamedParam::TREBLE, Action::Tone, nullptr, ToneControl::Treble},
        {NamedParam::TILT, Action::Tone, nullptr, ToneControl::Tilt},
    };

    const Mirror* match = nullptr;
    bool named = false;
    {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < kNamedParamCount && !named; ++i)
            named = id != 0 && slots_[static_cast<std::size_t>(i)] == id;
        for (const Mirror& m : kMirrors) {
            // Id 0 never carries a named parameter: an unresolved slot matches nothing.
            const std::uint8_t slot = slotLocked(m.slot);
            if (slot != 0 && slot == id) {
                match = &m;
                break;
            }
        }
        if (match && (match->action == Action::Status || match->action == Action::Program))
            status_.*(match->field) = value;
    }
    // A parameter that no slot names may be one the status shows without a
    // report of its own (front/back balance, the record input); a new input
    // changes the stream the status describes. Either way the status is read
    // again.
    if (!named)
        requestStatusReread(kRereadSysStatus | kRereadZone2Status);
    if (!match)
        return;
    if (match->action == Action::Program) {
        send(DC_CMD_GET_EFFECT, {value});
    } else if (match->action == Action::Status && match->slot == NamedParam::INPUT) {
        requestStatusReread(kRereadSysStatus);
    } else if (match->action == Action::Tone) {
        continueToneStep(match->tone, value);
    }
}

// --- Status re-read ----------------------------------------------------------------

void DeviceModel::requestStatusReread(unsigned parts)
{
    rereadParts_.fetch_or(parts);
    // Restarted by every request: a run of changes costs one re-read.
    link().owner().setTimer(kStatusRereadTimer, kStatusRereadDelayMs, [this] { rereadStatus(); });
}

void DeviceModel::rereadStatus()
{
    CQuorControl& l = link();
    const LinkState& state = l.state();
    // Not now: a sweep or another operation owns the line, or sends are being
    // dropped. The timer runs again one period later. Otherwise the re-read
    // takes the line until its answers are in (settleReread).
    if (state.StatusSweepActive || state.captureOn() || state.SendSuppressed || !l.isOpen() ||
        !l.operations().tryStartChain(ShortChain::StatusReread))
        return;
    l.owner().killTimer(kStatusRereadTimer);
    const unsigned parts = rereadParts_.exchange(0);
    rereadInFlight_ = parts;
    if (parts == 0)
        l.operations().endChain(ShortChain::StatusReread);
    if (parts & kRereadSysStatus)
        send(DC_CMD_GET_SYS_STATUS);
    if (parts & kRereadZone2Status)
        send(DC_CMD_GET_REC_STATUS);
}

void DeviceModel::settleReread(std::uint8_t answerCode)
{
    const unsigned part = answerCode == DC_RESP_SYS_STATUS         ? kRereadSysStatus
                          : answerCode == DC_RESP_REC_ZONE2_STATUS ? kRereadZone2Status
                                                                   : 0;
    if (part == 0)
        return;
    const unsigned before = rereadInFlight_.fetch_and(~part);
    if ((before & part) != 0 && (before & ~part) == 0)
        link().operations().endChain(ShortChain::StatusReread);
}

// --- Speaker encodings -------------------------------------------------------------

// One speaker group: a size parameter, the filter parameter that tells the
// small choices apart and, for the center, a third parameter that only the
// set operation writes. Rows are indexed by choice. Sizes other than "small"
// (1) identify their choice by the size alone.
struct SpeakerEncoding {
    struct Row {
        std::uint8_t size;
        std::uint8_t filter;
        std::uint8_t extra;
    };
    NamedParam sizeSlot;
    NamedParam filterSlot;
    std::optional<NamedParam> extraSlot;
    const Row* rows;
    int rowCount;
};

namespace {

constexpr std::uint8_t kSmall = 1;

// Rows by choice: {size, filter, extra}.
constexpr SpeakerEncoding::Row kFrontRows[] = {
    {1, 3, 0}, // 0 Small 120 Hz
    {1, 2, 0}, // 1 Small 80 Hz
    {1, 1, 0}, // 2 Small 40 Hz
    {0, 0, 0}, // 3 Large
};
// CENTER_SPKR, BSPLIT, BSPLIT_SMALL
constexpr SpeakerEncoding::Row kCenterRows[] = {
    {0, 0, 0}, // 0 None
    {1, 4, 2}, // 1 Small 120 Hz
    {1, 3, 1}, // 2 Small 80 Hz
    {1, 2, 0}, // 3 Small 40 Hz
    {2, 0, 0}, // 4 Large
};
constexpr SpeakerEncoding::Row kRearRows[] = {
    {0, 0, 0}, // 0 None
    {1, 3, 0}, // 1 Small 120 Hz
    {1, 2, 0}, // 2 Small 80 Hz
    {1, 1, 0}, // 3 Small 40 Hz
    {2, 0, 0}, // 4 Large
};
constexpr SpeakerEncoding::Row kSubRows[] = {
    {0, 0, 0}, // 0 None
    {1, 3, 0}, // 1 120 Hz
    {1, 2, 0}, // 2 80 Hz
    {1, 1, 0}, // 3 40 Hz
};

// Side speakers, choices 1..3 (small): SIDE_HPASS and the type's own filter.
constexpr std::uint8_t kSideHpass[3] = {3, 2, 1};
constexpr std::uint8_t kSideTypeHpass[3] = {2, 1, 0};
constexpr int kDipole = 16;

const SpeakerEncoding kFrontEncoding{NamedParam::FRONT_SPKR, NamedParam::FRONT_HPASS,
                                     std::nullopt, kFrontRows, 4};
const SpeakerEncoding kCenterEncoding{NamedParam::CENTER_SPKR, NamedParam::BSPLIT,
                                      NamedParam::BSPLIT_SMALL, kCenterRows, 5};
const SpeakerEncoding kRearEncoding{NamedParam::REAR_SPKR, NamedParam::REAR_HPASS, std::nullopt,
                                    kRearRows, 5};
const SpeakerEncoding kSubEncoding{NamedParam::SUBWOOFER, NamedParam::SUB_LOWPASS, std::nullopt,
                                   kSubRows, 4};


// The choice that a size and a filter value stand for, -1 for none.
int choiceOf(const SpeakerEncoding& e, std::uint8_t size, std::uint8_t filter)
{
    for (int c = 0; c < e.rowCount; ++c) {
        if (e.rows[c].size != kSmall && e.rows[c].size == size)
            return c;
    }
    for (int c = 0; c < e.rowCount; ++c) {
        if (e.rows[c].size == kSmall && e.rows[c].filter == filter)
            return c;
    }
    return -1;
}

// The side speakers' size choice from SIDE_SPKR and SIDE_HPASS.
int sideChoiceOf(std::uint8_t spkr, std::uint8_t hpass)
{
    if (spkr == 0)
        return 0;
    if (spkr == 1 || spkr == 2)
        return 4;
    for (int small = 0; small < 3; ++small) {
        if (kSideHpass[small] == hpass)
            return small + 1;
    }
    return -1;
}

// The side speakers' type (kDipole or 0) from SIDE_SPKR, -1 with none.
int sideTypeOf(std::uint8_t spkr)
{
    switch (spkr) {
    case 0: return -1;
    case 2:
    case 4: return kDipole;
    default: return 0;
    }
}

const SpeakerEncoding* encodingOf(SpeakerSetting s)
{
    switch (s) {
    case SpeakerSetting::Front: return &kFrontEncoding;
    case SpeakerSetting::Center: return &kCenterEncoding;
    case SpeakerSetting::Rear: return &kRearEncoding;
    case SpeakerSetting::Subwoofer: return &kSubEncoding;
    default: return nullptr;
    }
}

} // namespace

int speakerSettingOf(SpeakerSetting s, const NamedParamValue& value)
{
    if (const SpeakerEncoding* e = encodingOf(s)) {
        const auto size = value(e->sizeSlot);
        const auto filter = value(e->filterSlot);
        return size && filter ? choiceOf(*e, *size, *filter) : -1;
    }
    const auto spkr = value(NamedParam::SIDE_SPKR);
    if (s == SpeakerSetting::SideDipole)
        return spkr ? sideTypeOf(*spkr) : -1;
    const auto hpass = value(NamedParam::SIDE_HPASS);
    return spkr && hpass ? sideChoiceOf(*spkr, *hpass) : -1;
}

std::vector<NamedParam> speakerSettingParams(SpeakerSetting s)
{
    if (const SpeakerEncoding* e = encodingOf(s)) {
        std::vector<NamedParam> out{e->sizeSlot, e->filterSlot};
        if (e->extraSlot)
            out.push_back(*e->extraSlot);
        return out;
    }
    return {NamedParam::SIDE_SPKR, NamedParam::SIDE_HPASS, NamedParam::SIDE_STD_HPASS, NamedParam::SIDE_DIPOLE_HPASS};
}

int DeviceModel::setEncodingLocked(const SpeakerEncoding& e, int choice)
{
    if (!slotLocked(e.sizeSlot) || !slotLocked(e.filterSlot) ||
        (e.extraSlot && !slotLocked(*e.extraSlot)))
        return -1;
    if (choice < 0 || choice >= e.rowCount)
        return -1;
    const SpeakerEncoding::Row& row = e.rows[choice];
    paramValues_[slotLocked(e.sizeSlot)] = row.size;
    paramValues_[slotLocked(e.filterSlot)] = row.filter;
    if (e.extraSlot)
        paramValues_[slotLocked(*e.extraSlot)] = row.extra;
    return 1;
}

int DeviceModel::getEncodingLocked(const SpeakerEncoding& e) const
{
    if (!slotLocked(e.sizeSlot) || !slotLocked(e.filterSlot))
        return -1;
    return choiceOf(e, slotValueLocked(e.sizeSlot), slotValueLocked(e.filterSlot));
}

int DeviceModel::SetFrontSpeakers(int choice)
{
    std::lock_guard lock(mutex_);
    return setEncodingLocked(kFrontEncoding, choice);
}

int DeviceModel::GetFrontSpeakers() const
{
    std::lock_guard lock(mutex_);
    return getEncodingLocked(kFrontEncoding);
}

int DeviceModel::SetCenterSpeaker(int choice)
{
    std::lock_guard lock(mutex_);
    return setEncodingLocked(kCenterEncoding, choice);
}

int DeviceModel::GetCenterSpeaker() const
{
    std::lock_guard lock(mutex_);
    return getEncodingLocked(kCenterEncoding);
}

int DeviceModel::SetRearSpeakers(int choice)
{
    std::lock_guard lock(mutex_);
    return setEncodingLocked(kRearEncoding, choice);
}

int DeviceModel::GetRearSpeakers() const
{
    std::lock_guard lock(mutex_);
    return getEncodingLocked(kRearEncoding);
}

int DeviceModel::SetSubwoofer(int choice)
{
    std::lock_guard lock(mutex_);
    return setEncodingLocked(kSubEncoding, choice);
}

int DeviceModel::GetSubwoofer() const
{
    std::lock_guard lock(mutex_);
    return getEncodingLocked(kSubEncoding);
}

// Side speakers carry a size and a type (standard or dipole) in four parameters.
int DeviceModel::applySideLocked(int choice, bool dipole)
{
    const std::uint8_t spkr = slotLocked(NamedParam::SIDE_SPKR);
    const std::uint8_t hpass = slotLocked(NamedParam::SIDE_HPASS);
    const std::uint8_t stdHpass = slotLocked(NamedParam::SIDE_STD_HPASS);
    const std::uint8_t dipoleHpass = slotLocked(NamedParam::SIDE_DIPOLE_HPASS);
    if (!spkr || !hpass || !stdHpass || !dipoleHpass)
        return -1;
    paramValues_[spkr] = paramValues_[hpass] = paramValues_[stdHpass] = paramValues_[dipoleHpass] = 0;
    if (choice == 0)
        return 1;
    if (choice >= 1 && choice <= 3) {
        const int small = choice - 1;
        paramValues_[spkr] = dipole ? 4 : 3;
        paramValues_[hpass] = kSideHpass[small];
        paramValues_[dipole ? dipoleHpass : stdHpass] = kSideTypeHpass[small];
        return 1;
    }
    if (choice == 4) {
        paramValues_[spkr] = dipole ? 2 : 1;
        return 1;
    }
    return -1;
}

int DeviceModel::getSideDipoleLocked() const
{
    if (!slotLocked(NamedParam::SIDE_SPKR))
        return -1;
    return sideTypeOf(slotValueLocked(NamedParam::SIDE_SPKR));
}

int DeviceModel::getSideSpeakersLocked() const
{
    if (!slotLocked(NamedParam::SIDE_SPKR) || !slotLocked(NamedParam::SIDE_HPASS))
        return -1;
    return sideChoiceOf(slotValueLocked(NamedParam::SIDE_SPKR), slotValueLocked(NamedParam::SIDE_HPASS));
}

int DeviceModel::SetSideSpeakers(int choice)
{
    std::lock_guard lock(mutex_);
    return applySideLocked(choice, getSideDipoleLocked() == kDipole);
}

int DeviceModel::GetSideSpeakers() const
{
    std::lock_guard lock(mutex_);
    return getSideSpeakersLocked();
}

int DeviceModel::SetSideDipole(int type)
{
    std::lock_guard lock(mutex_);
    return applySideLocked(getSideSpeakersLocked(), type == kDipole);
}

int DeviceModel::GetSideDipole() const
{
    std::lock_guard lock(mutex_);
    return getSideDipoleLocked();
}

} // namespace bm
