// The list of temporary files a save has created and not yet put in place or
// removed, kept so that a signal handler can delete them. Fixed slots and
// atomics only, so reading it from a handler is safe; shared by every
// platform's file access.
#pragma once

#include <string>

namespace bm::files::detail {

// Lists `path`; the slot, or -1 when the path is too long for a slot or every
// slot is taken.
int listTemporary(const std::string& path);
// Takes a slot's path off the list.
void unlistTemporary(int slot);
// Calls `remove` with each listed path. Async-signal-safe when `remove` is.
void forEachListedTemporary(void (*remove)(const char* path)) noexcept;

} // namespace bm::files::detail
