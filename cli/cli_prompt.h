// The link's and the model's modal messages, for a program without windows:
// each goes to standard error as one line and is answered OK at once. The
// link's two retry prompts are remembered as a failure of the unit, and the
// owner is told so it can stop the link before the retry is sent.
#pragma once

#include "platform/prompt.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bm::cli {

class CliPrompt : public Prompt {
public:
    PromptAnswer ask(const std::string& text, PromptButtons buttons = PromptButtons::Ok) override;

    // Called (on the asking thread) when the link asks to retry after a NAK
    // or a time-out, before the retry is sent.
    void onRetryPrompt(std::function<void(const std::string&)> handler);
    // While quiet, messages are kept but not printed (the unit-side save of a diff).
    void setQuiet(bool quiet) { quiet_ = quiet; }
    bool retryAsked() const { return retryAsked_.load(); }
    std::vector<std::string> texts() const;
    // True once the unit refused a request (the link asked to retry a DC_NAK).
    bool refusalSeen() const;

private:
    std::atomic<bool> quiet_{false};
    std::atomic<bool> retryAsked_{false};
    mutable std::mutex mutex_; // guards texts_ and retryHandler_
    std::vector<std::string> texts_;
    std::function<void(const std::string&)> retryHandler_;
};

} // namespace bm::cli
