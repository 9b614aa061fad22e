#include "tests/support/scripted_prompt.h"

#include <chrono>

namespace bm {

PromptAnswer ScriptedPrompt::ask(const std::string& text, PromptButtons buttons)
{
    std::unique_lock lock(mutex_);
    texts_.push_back(text);
    buttons_.push_back(buttons);
    changed_.notify_all();
    if (abandoned_)
        return PromptAnswer::Cancel;
    if (hold_) {
        changed_.wait(lock, [this] { return releases_ > 0 || abandoned_; });
        if (abandoned_)
            return PromptAnswer::Cancel;
        --releases_;
    }
    if (answers_.empty())
        return PromptAnswer::Ok;
    PromptAnswer a = answers_.front();
    answers_.pop_front();
    return a;
}

void ScriptedPrompt::abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    changed_.notify_all();
}

void ScriptedPrompt::scriptAnswers(std::vector<PromptAnswer> answers)
{
    std::lock_guard lock(mutex_);
    answers_.assign(answers.begin(), answers.end());
}

std::vector<std::string> ScriptedPrompt::texts() const
{
    std::lock_guard lock(mutex_);
    return texts_;
}

std::vector<PromptButtons> ScriptedPrompt::buttons() const
{
    std::lock_guard lock(mutex_);
    return buttons_;
}

std::size_t ScriptedPrompt::count() const
{
    std::lock_guard lock(mutex_);
    return texts_.size();
}

void ScriptedPrompt::clear()
{
    std::lock_guard lock(mutex_);
    texts_.clear();
    buttons_.clear();
}

void ScriptedPrompt::setHold(bool hold)
{
    std::lock_guard lock(mutex_);
    hold_ = hold;
    changed_.notify_all();
}

void ScriptedPrompt::release()
{
    std::lock_guard lock(mutex_);
    ++releases_;
    changed_.notify_all();
}

bool ScriptedPrompt::waitForCount(std::size_t n, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return texts_.size() >= n; });
}

} // namespace bm
