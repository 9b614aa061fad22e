// The console reader on POSIX: poll on standard input and a wake-up pipe, so
// that the destructor can end the thread wherever it waits.
#include "platform/console_input.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace bm {

bool standardInputIsConsole()
{
    struct stat st {};
    return ::fstat(STDIN_FILENO, &st) == 0 && (::isatty(STDIN_FILENO) || S_ISFIFO(st.st_mode));
}

struct ConsoleLineReader::State {
    int wake[2] = {-1, -1};
    std::thread thread;
};

ConsoleLineReader::ConsoleLineReader(std::function<void(std::string)> onLine, std::function<void()> onEnd)
    : state_(std::make_shared<State>())
{
    if (::pipe2(state_->wake, O_CLOEXEC) != 0)
        return;
    const int wake = state_->wake[0];
    state_->thread = std::thread([wake, onLine = std::move(onLine), onEnd = std::move(onEnd)] {
        LineSplitter lines;
        char buffer[1024];
        for (;;) {
            pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (p[1].revents != 0)
                return;
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) { // end of input: the unit keeps running without a console
                onEnd();
                return;
            }
            lines.feed(buffer, static_cast<std::size_t>(n), onLine);
        }
    });
}

ConsoleLineReader::~ConsoleLineReader()
{
    if (state_->thread.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(state_->wake[1], &byte, 1);
        state_->thread.join();
    }
    for (int fd : state_->wake)
        if (fd >= 0)
            ::close(fd);
}

} // namespace bm
