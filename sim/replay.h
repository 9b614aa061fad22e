// The unit of a capture, played back (ridaziv-sim --replay).
//
// A capture is read as a script: the bytes the unit sent before the first
// request, then each request the program sent with everything the unit sent
// after it until the next request (answers, reports, noise), each at its
// offset from that request, and whether the line was lost in between.
//
// Strict replay expects the program's requests in the recorded order, byte
// for byte; the first request that differs (or comes beyond the end of the
// recording) is the difference, and a replay that ends with recorded requests
// never sent has one too. Loose replay answers each request with what followed
// the recorded request of the same bytes, else of the same code (in recorded
// order, the last one again once they run out), so a capture taken with other
// timings, or a run that asks a little more or less, still gets its answers.
#pragma once

#include "link/capture_file.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bm::sim {

// Something the replay does at `at` seconds from its start.
struct ReplayAction {
    double at = 0;
    std::vector<std::uint8_t> bytes; // sent to the program
    bool hangUp = false;             // or: the line is lost
    bool renew = false;              // and offered again (the program opened it again)
};

class ReplayEngine {
public:
    ReplayEngine(const Capture& capture, bool loose);

    // What the unit sent before the program's first request, at its recorded offsets.
    std::vector<ReplayAction> start(double now);
    // A whole request from the program at `now`: what to send for it. False
    // when it differs from the recording (strict), with difference() set.
    bool request(const std::vector<std::uint8_t>& packet, double now, std::vector<ReplayAction>& actions);
    // At the end: the first difference, "" when none. In strict mode a
    // recorded request the program never sent is one.
    std::string finish();
    const std::string& difference() const { return difference_; }
    std::size_t requestsSeen() const { return seen_; }
    std::size_t requestsRecorded() const { return steps_.size(); }
    // Loose mode: requests no recording answered (codes), in order.
    const std::vector<std::uint8_t>& unanswered() const { return unanswered_; }

private:
    struct Later {
        double delay = 0;
        std::vector<std::uint8_t> bytes;
        bool hangUp = false;
        bool renew = false;
    };
    struct Step {
        std::vector<std::uint8_t> request;
        std::string operation;
        int lineNumber = 0;
        std::vector<Later> after;
        bool hangsUp() const;
    };
    std::vector<ReplayAction> actionsOf(const Step& step, double now) const;

    bool loose_;
    std::vector<Later> prelude_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;      // strict: the step the next request must match
    std::vector<bool> used_;    // loose: steps already answered from
    std::size_t seen_ = 0;
    std::string difference_;
    std::vector<std::uint8_t> unanswered_;
};

struct ReplayOptions {
    bool loose = false;
    std::string linkPath; // a symbolic link to the terminal, kept across hang-ups
    std::string listenAddress; // Windows: the loopback address served
};

// The engine behind a line of its own (a pseudo-terminal; a loopback TCP
// port on Windows), served on a thread.
class ReplayServer {
public:
    ReplayServer(const Capture& capture, ReplayOptions options);
    ~ReplayServer();
    ReplayServer(const ReplayServer&) = delete;
    ReplayServer& operator=(const ReplayServer&) = delete;

    bool start(std::string& error);
    // Stops serving; the first difference ("" when none), as finish() says.
    std::string stop();
    // True once a request differed (strict): the replay has stopped answering.
    bool differed() const;
    std::string devicePath() const;
    std::string terminalPath() const;
    std::size_t requestsSeen() const;
    std::size_t requestsRecorded() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm::sim
