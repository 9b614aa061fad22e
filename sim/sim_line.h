// The simulated unit's end of its line. On POSIX the master side of a
// pseudo-terminal, which the program opens as a serial device; on Windows,
// which has no pseudo-terminals, a loopback TCP listener and its one client at
// a time, which the program opens as "tcp://127.0.0.1:PORT" (a client that
// hangs up is a dropped bridge: the next one is accepted). The serving thread
// alone reads, writes and waits; wake() is for any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bm::sim {

class SimLine {
public:
    enum Ready : unsigned { kIdle = 0, kBytes = 1, kHungUp = 2 };

    SimLine();
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // POSIX: a new pseudo-terminal, with `linkPath` (if any) a symbolic link
    // to it. Windows: listening on `listenAddress` ("127.0.0.1:0" when empty).
    bool open(const std::string& linkPath, const std::string& listenAddress, std::string& error);
    // Closes everything (and removes the link); the line cannot be used again.
    void close();
    // The cable pulled: the host's side finds the line gone.
    void hangUp();
    // The cable pulled and plugged in again: the program's side finds the line
    // gone, and can open it again at the same place (POSIX: a new terminal
    // behind the same link; Windows: the connection dropped, the next accepted).
    bool renew(std::string& error);

    // Waits at most `timeoutMs` for the host's bytes or a wake-up.
    unsigned wait(int timeoutMs);
    void wake();
    // True when the host's bytes wait to be read (no waiting, nothing read).
    bool bytesWaiting() const;
    // Bytes from the host: > 0, 0 when none are there, -1 when the line failed.
    long read(std::uint8_t* buffer, std::size_t capacity);
    // Writes all bytes, waiting for room until `deadline`; false when the line
    // failed or stayed full.
    // Gives up early once `stopping` is set.
    bool write(const std::uint8_t* data, std::size_t length, std::chrono::steady_clock::time_point deadline,
               const std::atomic<bool>& stopping);

    // What the program opens (the link, the terminal or the tcp:// address),
    // and the terminal itself (the tcp:// address on Windows).
    std::string devicePath() const;
    std::string terminalPath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm::sim
