// Prompt for tests: records every text asked and answers from a script
// (Ok when the script is empty). Can also hold each ask until the test releases it.
#pragma once

#include "platform/prompt.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace bm {

class ScriptedPrompt : public Prompt {
public:
    PromptAnswer ask(const std::string& text, PromptButtons buttons = PromptButtons::Ok) override;
    void abandon() override;

    void scriptAnswers(std::vector<PromptAnswer> answers);
    std::vector<std::string> texts() const;
    // The buttons of each ask, in the order of texts().
    std::vector<PromptButtons> buttons() const;
    std::size_t count() const;
    void clear();

    // With hold on, ask() blocks until release() is called once per ask.
    void setHold(bool hold);
    void release();
    // Waits up to `timeoutMs` until at least `n` prompts have been asked.
    bool waitForCount(std::size_t n, int timeoutMs) const;

private:
    mutable std::mutex mutex_; // guards everything below
    mutable std::condition_variable changed_;
    std::deque<PromptAnswer> answers_;
    std::vector<std::string> texts_;
    std::vector<PromptButtons> buttons_;
    bool hold_ = false;
    bool abandoned_ = false;
    int releases_ = 0;
};

} // namespace bm
