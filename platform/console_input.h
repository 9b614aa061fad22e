// Console lines on standard input, read on a thread of their own: the
// simulated unit's console in the panel (--simulate).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace bm {

// Whether standard input is somewhere a person or a program types lines: a
// terminal (a console on Windows) or a pipe; not /dev/null, a file or closed.
bool standardInputIsConsole();

// Splits bytes into lines: each complete line without its "\n" or "\r\n";
// empty lines are dropped, and so is a last line without its newline.
class LineSplitter {
public:
    void feed(const char* bytes, std::size_t n, const std::function<void(std::string)>& onLine);

private:
    std::string pending_;
};

// Reads standard input on a thread of its own and calls `onLine` there for each
// line (as LineSplitter cuts them), then `onEnd` once at the end of input.
class ConsoleLineReader {
public:
    ConsoleLineReader(std::function<void(std::string)> onLine, std::function<void()> onEnd);
    // No call of `onLine` or `onEnd` runs after this returns.
    ~ConsoleLineReader();
    ConsoleLineReader(const ConsoleLineReader&) = delete;
    ConsoleLineReader& operator=(const ConsoleLineReader&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace bm
