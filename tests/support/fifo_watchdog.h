// For tests of code that must never wait on a FIFO: if the code under test is
// still blocked on `fifo` when the limit passes, the watchdog opens and closes
// the FIFO's writing end, which ends the wait (the reader sees end of file),
// and remembers that it had to.
#pragma once

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace bm::test {

class FifoWatchdog {
public:
    explicit FifoWatchdog(std::string fifo, std::chrono::seconds limit = std::chrono::seconds(10))
        : fifo_(std::move(fifo)), thread_([this, limit] { watch(limit); })
    {
    }
    ~FifoWatchdog() { stop(); }
    FifoWatchdog(const FifoWatchdog&) = delete;
    FifoWatchdog& operator=(const FifoWatchdog&) = delete;

    // Ends the watch; true when the code under test had to be freed.
    bool stop()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return freed_;
    }

private:
    void watch(std::chrono::seconds limit)
    {
        std::unique_lock lock(mutex_);
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done_) {
            if (wake_.wait_until(lock, until) == std::cv_status::timeout && !done_) {
                // Opening for writing without blocking succeeds only while a
                // reader has the FIFO open: then it was stuck.
                const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ::close(fd);
                    freed_ = true;
                }
                wake_.wait_for(lock, std::chrono::milliseconds(100));
            }
        }
    }

    std::string fifo_;
    std::mutex mutex_; // guards done_
    std::condition_variable wake_;
    bool done_ = false;
    bool freed_ = false; // written by the watch thread, read after join
    std::thread thread_;
};

} // namespace bm::test
