#include "service/tone_guard.h"

#include "link/packet.h"
#include "model/controls.h"

#include <algorithm>

namespace bm::service {

std::optional<int> ToneGuard::controlOfKey(std::uint8_t key)
{
    switch (key) {
    case BASS_UP:
    case BASS_DOWN: return 0;
    case TREBLE_UP:
    case TREBLE_DOWN: return 1;
    case TILT_UP:
    case TILT_DOWN: return 2;
    default: return std::nullopt;
    }
}

std::optional<int> ToneGuard::controlOfKeyName(const std::string& name)
{
    const auto code = controls::irKeyCode(name);
    return code ? controlOfKey(*code) : std::nullopt;
}

std::optional<int> ToneGuard::controlOfName(const std::string& name)
{
    if (name == "bass")
        return 0;
    if (name == "treble")
        return 1;
    if (name == "tilt")
        return 2;
    return std::nullopt;
}

void ToneGuard::touch(std::uint64_t client, int control)
{
    const std::uint64_t m = ++serial_[control];
    auto& list = touches_[control];
    list.emplace_back(m, client);
    if (list.size() > kKept)
        list.pop_front();
}

bool ToneGuard::keyMayGo(std::uint64_t client, int control, std::uint64_t queuedMark, Clock::time_point now)
{
    std::uint64_t since = queuedMark;
    const auto found = steps_.find({client, control});
    if (found != steps_.end() && now - found->second.at < std::chrono::milliseconds(kStepGapMs))
        since = std::min(since, found->second.mark);
    const auto& list = touches_[control];
    bool stale = !list.empty() && list.front().first > since + 1 && since < mark(control);
    for (const auto& [m, who] : list)
        stale = stale || (m > since && who != client);
    if (!stale)
        touch(client, control);
    // Steps over long ago (and clients gone) are forgotten.
    for (auto it = steps_.begin(); it != steps_.end();)
        it = now - it->second.at >= std::chrono::milliseconds(kStepGapMs) ? steps_.erase(it) : std::next(it);
    steps_[{client, control}] = Step{mark(control), now};
    return !stale;
}

void ToneGuard::setBy(std::uint64_t client, int control)
{
    touch(client, control);
}


} // namespace bm::service
