// The last words before a forced exit, shared by the POSIX signals and the
// Windows console handler: set by the program, given on a thread of their own
// for at most their limit.
#include "platform/termination.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace bm {
namespace {

std::mutex gWordsMutex; // guards gWords and gWordsLimitMs
std::function<void()> gWords;
int gWordsLimitMs = 0;

} // namespace

void setLastWords(std::function<void()> words, int limitMs)
{
    std::lock_guard lock(gWordsMutex);
    gWords = std::move(words);
    gWordsLimitMs = limitMs;
}

void giveLastWords()
{
    std::function<void()> words;
    int limitMs = 0;
    {
        std::lock_guard lock(gWordsMutex);
        words = gWords;
        limitMs = gWordsLimitMs;
    }
    if (!words)
        return;
    struct Done {
        std::mutex mutex; // guards finished
        std::condition_variable cv;
        bool finished = false;
    };
    auto done = std::make_shared<Done>();
    std::thread([done, words] {
        words();
        std::lock_guard lock(done->mutex);
        done->finished = true;
        done->cv.notify_all();
    }).detach();
    std::unique_lock lock(done->mutex);
    done->cv.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done->finished; });
}

} // namespace bm
