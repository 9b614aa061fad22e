// QtPrompt's guard against stacking: the same message asked again from another
// thread while it is still waiting is not queued a second time; the second
// asker shares the first one's answer.
#include "platform/qt_prompt.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <thread>

namespace bm {
namespace {

bool waitForPending(const QtPrompt& prompt, std::size_t n)
{
    return test::waitUntil([&] { return prompt.pendingCount() >= n; });
}

TEST(QtPrompt, TheSameMessageIsNeverStackedOnItself)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr); // nobody runs its loop: no box is shown
    QtPrompt prompt;

    std::atomic<int> cancelled{0};
    auto ask = [&](const char* text, PromptButtons buttons) {
        return std::thread([&, text, buttons] {
            cancelled += prompt.ask(text, buttons) == PromptAnswer::Cancel;
        });
    };
    std::thread first = ask("Timeout. Press Enter to Retry!", PromptButtons::OkCancel);
    ASSERT_TRUE(waitForPending(prompt, 1));
    std::thread second = ask("Timeout. Press Enter to Retry!", PromptButtons::OkCancel);
    std::thread other = ask("NAK Received. Press OK to Retry.", PromptButtons::OkCancel);
    ASSERT_TRUE(waitForPending(prompt, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(prompt.pendingCount(), 2u) << "one time-out box and one NAK box";

    prompt.abandon();
    first.join();
    second.join();
    other.join();
    EXPECT_EQ(cancelled.load(), 3);
}

} // namespace
} // namespace bm
