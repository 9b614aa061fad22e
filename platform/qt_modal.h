// Counts the modal loops (message boxes, dialogs, file dialogs) running on the
// user-interface thread. A box that has just been answered is already hidden
// while its exec() is still on the stack; windows must not be torn down until
// the count is back to zero. User-interface thread only.
#pragma once

namespace bm {

class ModalScope {
public:
    ModalScope() { ++depth_; }
    ~ModalScope() { --depth_; }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

    // Modal loops still on the stack.
    static int depth() { return depth_; }

private:
    static inline int depth_ = 0;
};

} // namespace bm
