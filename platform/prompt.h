// Modal messages with the caption "Brennmark". ask() blocks the calling thread
// (any thread) until the user answers. Back-ends: QtPrompt (shown on the UI
// thread), ScriptedPrompt (tests).
#pragma once

#include <string>

namespace bm {

enum class PromptButtons { Ok, OkCancel };
enum class PromptAnswer { Ok, Cancel };

class Prompt {
public:
    virtual ~Prompt() = default;

    virtual PromptAnswer ask(const std::string& text, PromptButtons buttons = PromptButtons::Ok) = 0;

    // Makes every ask() that is waiting, and every later one, return Cancel at
    // once. Used at shutdown so that a thread held by a prompt can be joined.
    virtual void abandon() {}

    // Shows, on the calling thread, what other threads are waiting to ask.
    // Called by the user-interface thread's pumping waits; a back-end whose
    // asks need no other thread does nothing.
    virtual void showPending() {}
};

} // namespace bm
