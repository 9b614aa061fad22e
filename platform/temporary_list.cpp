// The signal-time list of temporary files: a slot is claimed (Writing), filled,
// then published (Listed); a handler reads only Listed slots, so it never sees
// a half-written path.
#include "platform/temporary_list.h"

#include <array>
#include <atomic>
#include <cstring>

namespace bm::files::detail {
namespace {

enum SlotState : int { Free = 0, Writing = 1, Listed = 2 };

struct Slot {
    std::atomic<int> state{Free};
    char path[4096] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the slots");

// A save writes one temporary file at a time; a few slots leave room for
// saves on several threads.
std::array<Slot, 8> slots;

} // namespace

int listTemporary(const std::string& path)
{
    if (path.size() >= sizeof(Slot::path))
        return -1;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        int expected = Free;
        if (!slots[i].state.compare_exchange_strong(expected, Writing))
            continue;
        std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
        slots[i].state.store(Listed);
        return static_cast<int>(i);
    }
    return -1;
}

void unlistTemporary(int slot)
{
    if (slot >= 0 && static_cast<std::size_t>(slot) < slots.size())
        slots[static_cast<std::size_t>(slot)].state.store(Free);
}

void forEachListedTemporary(void (*remove)(const char* path)) noexcept
{
    for (Slot& slot : slots)
        if (slot.state.load() == Listed)
            remove(slot.path);
}

} // namespace bm::files::detail
