// The console reader on Windows. A console or pipe read cannot be waited on
// beside a wake-up, so the destructor cancels the read (CancelSynchronousIo)
// and, should the read not end, leaves the thread blocked in it: the thread
// holds the shared state, and a stopped flag under its mutex keeps it from
// calling the program again.
#include "platform/console_input.h"

#include <windows.h>

#include <mutex>
#include <thread>
#include <utility>

namespace bm {

bool standardInputIsConsole()
{
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = ::GetFileType(in);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

struct ConsoleLineReader::State {
    std::mutex mutex; // guards stopped and the calls to the program
    bool stopped = false;
    HANDLE thread = nullptr; // the reader thread, for CancelSynchronousIo
    std::thread reader;
};

ConsoleLineReader::ConsoleLineReader(std::function<void(std::string)> onLine, std::function<void()> onEnd)
    : state_(std::make_shared<State>())
{
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    state_->reader = std::thread([state = state_, in, onLine = std::move(onLine), onEnd = std::move(onEnd)] {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped)
                return;
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &state->thread,
                              0, FALSE, DUPLICATE_SAME_ACCESS);
        }
        LineSplitter lines;
        char buffer[1024];
        for (;;) {
            DWORD n = 0;
            const bool ok = ::ReadFile(in, buffer, sizeof buffer, &n, nullptr) != 0;
            std::lock_guard lock(state->mutex);
            if (state->stopped)
                return;
            if (!ok || n == 0) { // end of input: the unit keeps running without a console
                onEnd();
                return;
            }
            lines.feed(buffer, n, onLine);
        }
    });
}

ConsoleLineReader::~ConsoleLineReader()
{
    HANDLE thread = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        thread = std::exchange(state_->thread, nullptr);
    }
    if (thread) {
        ::CancelSynchronousIo(thread);
        ::CloseHandle(thread);
    }
    // A read that the cancel did not end keeps the thread; the process's end takes it.
    if (state_->reader.joinable())
        state_->reader.detach();
}

} // namespace bm
