// Bass, treble and tilt have no set command: the program presses the unit's IR
// up and down keys and, after each report of the parameter, presses once more
// toward the target until a report equals it.
//
// A step starts with two presses of the same key, and the unit reports after
// every press. The report of the first press is passed over: only the second
// press's report drives the next key, so exactly one key is in flight from
// then on and the level cannot run past the target.
//
// A unit may report only real changes: at the end of a range a press brings
// no report. So every press arms a timer; when no report comes within
// kToneReportLimitMs the step ends and the stepper takes the unit's last
// reported value, and later setter calls press keys again.
#include "model/device_model.h"

#include "link/operation_queue.h"
#include "link/packet.h"
#include "link/quor_control.h"

namespace bm {

namespace {

struct ToneKeys {
    NamedParam slot;
    std::uint8_t up;
    std::uint8_t down;
    const char* setter; // trace names
    const char* name;
};

// Indexed by ToneControl.
constexpr ToneKeys kToneKeys[] = {
    {NamedParam::BASS, BASS_UP, BASS_DOWN, "SetBassLevel", "BASS"},
    {NamedParam::TREBLE, TREBLE_UP, TREBLE_DOWN, "SetTrebleLevel", "TREBLE"},
    {NamedParam::TILT, TILT_UP, TILT_DOWN, "SetTiltLevel", "TILT"},
};

ShortChain chainOf(ToneControl control)
{
    switch (control) {
    case ToneControl::Bass: return ShortChain::BassStep;
    case ToneControl::Treble: return ShortChain::TrebleStep;
    default: return ShortChain::TiltStep;
    }
}

} // namespace

int DeviceModel::setToneLevel(ToneControl control, std::uint8_t level)
{
    const ToneKeys& keys = kToneKeys[static_cast<int>(control)];
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        const std::uint8_t slot = slotLocked(keys.slot);
        if (!slot)
            return 1;
        ToneStepper& s = steppers_[static_cast<std::size_t>(control)];
        s.current = paramValues_[slot];
        if (level == s.current)
            return 1;
        s.target = level;
        if (!s.active) {
            // Active at once: the reports may come back while the second press
            // is still being paced out.
            s.active = 1;
            s.waiting = 1;
            s.tries = 0;
            start = true;
        }
    }
    if (start)
        startToneStep(control);
    link().tracef("%s: SETTING TARGET=%d\r\n", keys.setter, level);
    return 1;
}

// A step is a chain of its own on the line: its keys never go out while
// another operation holds the line (that operation would take the reports),
// and no operation starts while it runs.
void DeviceModel::startToneStep(ToneControl control)
{
    const ToneKeys& keys = kToneKeys[static_cast<int>(control)];
    CQuorControl& l = link();
    const bool mine = l.operations().tryStartChain(chainOf(control));
    std::uint8_t key = 0;
    bool retry = false;
    bool dropped = false;
    {
        std::lock_guard lock(mutex_);
        ToneStepper& s = steppers_[static_cast<std::size_t>(control)];
        if (!s.active || !s.waiting) {
            // Ended meanwhile (the line was lost, the link closed).
        } else if (mine) {
            s.waiting = 0;
            s.current = paramValues_[slotLocked(keys.slot)];
            if (s.target == s.current) {
                s.active = 0; // the unit got there by itself meanwhile
            } else {
                key = s.target < s.current ? keys.down : keys.up;
                s.echoes = 1;
            }
        } else if (++s.tries * kToneRetryMs >= kToneStartLimitMs) {
            s.active = 0;
            s.waiting = 0;
            dropped = true;
        } else {
            retry = true;
        }
    }
    if (key) {
        SendIrKey(key);
        SendIrKey(key);
        armToneTimer(control);
    } else if (retry) {
        l.owner().setTimer(kToneTimerFirst + static_cast<int>(control), kToneRetryMs,
                           [this, control] { startToneStep(control); });
    } else {
        if (mine)
            l.operations().endChain(chainOf(control));
        l.owner().killTimer(kToneTimerFirst + static_cast<int>(control));
        if (dropped)
            l.tracef("%s: THE LINE STAYED BUSY, NO STEP\r\n", keys.name);
    }
}

void DeviceModel::finishToneStep(ToneControl control)
{
    link().owner().killTimer(kToneTimerFirst + static_cast<int>(control));
    link().operations().endChain(chainOf(control));
}

void DeviceModel::continueToneStep(ToneControl control, std::uint8_t value)
{
    const ToneKeys& keys = kToneKeys[static_cast<int>(control)];
    std::uint8_t old, target, key = 0;
    bool echo = false;
    {
        std::lock_guard lock(mutex_);
        ToneStepper& s = steppers_[static_cast<std::size_t>(control)];
        if (!s.active || s.waiting)
            return; // not a report of this program's key
        old = s.current;
        target = s.target;
        if (s.echoes) {
            --s.echoes;
            echo = true;
        } else {
            s.current = value;
            if (target < value)
                key = keys.down;
            else if (target > value)
                key = keys.up;
            else
                s.active = 0;
        }
    }
    if (echo) {
        armToneTimer(control); // a report came; the second press's is next
        return;
    }
    CQuorControl& l = link();
    l.tracef("%s: OLD=%d  NEW=%d  TARGET=%d\r\n", keys.name, old, value, target);
    if (key) {
        l.tracef("  ***%s %s ***\r\n", keys.name, key == keys.down ? "DOWN" : "UP");
        SendIrKey(key);
        armToneTimer(control);
    } else {
        finishToneStep(control);
    }
}

void DeviceModel::armToneTimer(ToneControl control)
{
    link().owner().setTimer(kToneTimerFirst + static_cast<int>(control), kToneReportLimitMs,
                            [this, control] { endToneStep(control); });
}

void DeviceModel::endToneStep(ToneControl control)
{
    const ToneKeys& keys = kToneKeys[static_cast<int>(control)];
    CQuorControl& l = link();
    finishToneStep(control);
    std::uint8_t value;
    {
        std::lock_guard lock(mutex_);
        ToneStepper& s = steppers_[static_cast<std::size_t>(control)];
        if (!s.active)
            return;
        s.active = 0;
        s.echoes = 0;
        s.waiting = 0;
        s.current = paramValues_[slotLocked(keys.slot)];
        value = s.current;
    }
    l.tracef("%s: NO REPORT, STEPPING ENDS AT %d\r\n", keys.name, value);
}

int DeviceModel::SetBassLevel(std::uint8_t level)
{
    return setToneLevel(ToneControl::Bass, level);
}

int DeviceModel::SetTrebleLevel(std::uint8_t level)
{
    return setToneLevel(ToneControl::Treble, level);
}

int DeviceModel::SetTiltLevel(std::uint8_t level)
{
    return setToneLevel(ToneControl::Tilt, level);
}

ToneStepper DeviceModel::stepper(ToneControl control) const
{
    std::lock_guard lock(mutex_);
    return steppers_[static_cast<std::size_t>(control)];
}

} // namespace bm
