// Messages on standard error; retry prompts become a unit failure.
#include "cli/cli_prompt.h"

#include "link/quor_control.h"

#include <algorithm>
#include <cstdio>

namespace bm::cli {
namespace {

// The link's retry questions are the panel's dialogs ("Press OK to Retry."):
// here nobody is asked, and the message says what happened.
struct RetryPrompt {
    const char* dialog;
    const char* message;
};

constexpr RetryPrompt kRetryPrompts[] = {
    {kNakPromptText, "the unit refused the request (DC_NAK)"},
    {kTimeoutPromptText, "the unit did not answer in time"},
};

const RetryPrompt* retryPrompt(const std::string& text)
{
    for (const RetryPrompt& p : kRetryPrompts)
        if (text == p.dialog)
            return &p;
    return nullptr;
}

bool isRetryPrompt(const std::string& text)
{
    return retryPrompt(text) != nullptr;
}

} // namespace

PromptAnswer CliPrompt::ask(const std::string& text, PromptButtons buttons)
{
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
        if (isRetryPrompt(text))
            handler = retryHandler_;
    }
    if (isRetryPrompt(text)) {
        retryAsked_ = true;
        if (handler)
            handler(text);
    }
    if (!quiet_) {
        const RetryPrompt* retry = retryPrompt(text);
        std::fprintf(stderr, "brennmark-cli: %s\n", retry ? retry->message : text.c_str());
    }
    // A question (the factory reset's) is never answered yes by a script.
    return buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel : PromptAnswer::Ok;
}

void CliPrompt::onRetryPrompt(std::function<void(const std::string&)> handler)
{
    std::lock_guard lock(mutex_);
    retryHandler_ = std::move(handler);
}

bool CliPrompt::refusalSeen() const
{
    std::lock_guard lock(mutex_);
    return std::find(texts_.begin(), texts_.end(), std::string(kNakPromptText)) != texts_.end();
}

std::vector<std::string> CliPrompt::texts() const
{
    std::lock_guard lock(mutex_);
    return texts_;
}

} // namespace bm::cli
