// The second SIGTERM or SIGINT ends the process at once, after its last words,
// even while the thread that handles the first is held up for good; the first
// goes to the program's own handler only.
#include "platform/termination.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// Read by ThreadSanitizer at start (ignored by other builds): the forked child
// below starts the watcher thread of its own.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}

namespace bm {
namespace {

int gReport = -1;

extern "C" void reportFirst(int)
{
    const char byte = 'F';
    [[maybe_unused]] const ssize_t n = ::write(gReport, &byte, 1);
}

// The next byte from `fd`, or 0 when none comes within a generous bound.
char nextByte(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    if (::poll(&p, 1, 10000) <= 0 || ::read(fd, &byte, 1) != 1)
        return 0;
    return byte;
}

TEST(Termination, TheSecondSignalEndsTheProcessAfterItsLastWords)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            gReport = report[1];
            installTerminationSignals(reportFirst);
            setLastWords([] { [[maybe_unused]] const ssize_t n = ::write(gReport, "W", 1); }, 2000);
            const char ready = 'R';
            [[maybe_unused]] const ssize_t n = ::write(gReport, &ready, 1);
            for (;;) // held up for good, as a thread in a lookup or a join
                ::pause();
        }
        ::close(report[1]);
        EXPECT_EQ(nextByte(report[0]), 'R');
        ::kill(child, signal);
        EXPECT_EQ(nextByte(report[0]), 'F'); // the program's own handler, and nothing more
        ::kill(child, signal);
        EXPECT_EQ(nextByte(report[0]), 'W'); // the last words, then the exit
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), forcedExitStatus(signal));
        ::close(report[0]);
    }
}

} // namespace
} // namespace bm
