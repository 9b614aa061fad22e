// Messages on standard error; retry prompts become a unit failure.
#include "cli/cli_prompt.h"

#include <cstdio>

namespace bm::cli {
namespace {

bool isRetryPrompt(const std::string& text)
{
    return text == "NAK Received. Press OK to Retry." || text == "Timeout. Press Enter to Retry!";
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
    if (!quiet_)
        std::fprintf(stderr, "brennmark-cli: %s\n", text.c_str());
    // A question (the factory reset's) is never answered yes by a script.
    return buttons == PromptButtons::OkCancel ? PromptAnswer::Cancel : PromptAnswer::Ok;
}

void CliPrompt::onRetryPrompt(std::function<void(const std::string&)> handler)
{
    std::lock_guard lock(mutex_);
    retryHandler_ = std::move(handler);
}

std::vector<std::string> CliPrompt::texts() const
{
    std::lock_guard lock(mutex_);
    return texts_;
}

} // namespace bm::cli
