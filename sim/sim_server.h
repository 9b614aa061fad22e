// The simulated Ridaziv unit behind a real pseudo-terminal. The program under
// test opens devicePath() with the ordinary serial adapter and cannot tell the
// simulator from a processor. Used by ridaziv-sim, the integration tests, the
// benchmark and `brennmark --simulate`.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bm::sim {

enum class Model { DE1, ZA2 };   // product id 2 and 1
enum class Firmware { A, B };    // different ROM timestamps and some parameter ids

struct SimOptions {
    Model model = Model::DE1;
    Firmware firmware = Firmware::A;
    bool fast = false;            // drop the 19200-baud wire timing
    // The unit's own time to act on a command before its answer starts. The
    // unit's promise is only an answer within the host's 500 ms window; a few
    // milliseconds of processing is what a small controller plausibly takes.
    int answerDelayMs = 3;
    bool silent = false;          // read everything, answer nothing
    int nakCommand = -1;          // refuse this command code with DC_NAK (-1: none)
    int nakError = 0x12;          // the error code of that refusal (DC_INVALID_DATA)
    bool noise = false;           // noise bytes between packets
    bool splitPackets = false;    // every packet written in two parts
    bool noWakeupAfterParamWrite = false;
    // Waking from sleep takes the unit this long: commands go unanswered and
    // DC_WAKEUP comes once it is ready (0: at once; negative: never).
    int wakeBusyMs = 0;
    int dropAfterPackets = -1;    // close the line after this many packets (-1: never)
    // The variety real units have.
    bool reportChangesOnly = false; // a key that changes nothing reports nothing
    bool refuseLongNames = false;   // over-long names refused with DC_INVALID_NAME
    bool fullWidthNames = false;    // names sent blank-padded to their whole field, no NUL
    int effectCount = -1;           // this many effects (-1: the firmware's own)
    int paramCount = -1;            // this many system parameters (-1: the firmware's own)
    std::string linkPath;         // when set, a symbolic link to the device
    // Windows only (no pseudo-terminals there): the loopback HOST:PORT the
    // unit's line is served on ("127.0.0.1:0" picks a free port when empty).
    std::string listenAddress;
    // Checks the host's manners: a request that arrives while an answer to an
    // earlier one is still due (waiting for the unit or still on the line, up
    // to its last response packet; the reports after it are the unit's own)
    // is reported on standard error and counted (strictViolations()).
    bool strict = false;
};

// A copy of the unit's state, for tests that compare the program's model with it.
struct UnitSnapshot {
    std::array<std::uint8_t, 25> unitConfig{};      // as sent in DC_RESP_UNIT_CONFIG
    std::vector<std::string> paramNames;            // by id, TotalParams entries
    std::vector<std::uint8_t> paramMax;             // by id
    std::vector<std::uint8_t> paramValues;          // by id
    std::vector<std::string> effectNames;           // by id, TotalEffects entries
    std::vector<std::vector<std::uint8_t>> effectParams; // values by effect id
    std::array<std::string, 8> inputNames;          // as the unit sends them (padded text trimmed of NULs)
    std::string customName;
    bool customNameShown = false;
    std::array<std::uint8_t, 9> sysStatus{};
    std::array<std::uint8_t, 5> zone2Status{};
    bool frontPanelReporting = false;
    bool asleep = false;
    bool waking = false; // woken, and not yet ready (DC_WAKEUP still to come)
    std::array<std::string, 2> displayLines; // the front-panel text (empty while asleep)
};

class SimServer {
public:
    explicit SimServer(SimOptions options = {});
    ~SimServer(); // stops

    // Opens the pseudo-terminal pair (a loopback TCP port on Windows) and
    // starts serving on a thread.
    bool start();
    void stop();
    // Why start() failed, in words.
    std::string startError() const;
    // The terminal side the program opens (or the link path when one was given;
    // "tcp://127.0.0.1:PORT" on Windows).
    std::string devicePath() const;
    // The terminal side itself (/dev/pts/N), link or not.
    std::string terminalPath() const;
    // True while the serving thread runs (false after stop() or a dropped line).
    bool serving() const;

    // A console line, as typed on ridaziv-sim's standard input: acts as the
    // unit's front panel or remote. Returns false for a line it cannot parse
    // (and puts the reason in `error` when given).
    bool command(const std::string& line, std::string* error = nullptr);
    static std::string consoleHelp();

    UnitSnapshot snapshot() const;

    // Every valid packet the unit has read from the host, in order (whole packets).
    std::vector<std::vector<std::uint8_t>> receivedPackets() const;
    void clearReceived();
    // Bytes that crossed the line in each direction since start.
    std::uint64_t bytesFromHost() const;
    std::uint64_t bytesToHost() const;
    // With SimOptions::strict: how many requests arrived while an answer was due.
    std::uint64_t strictViolations() const;

    // Changes a fault while running (tests switch a unit silent midway).
    void setSilent(bool silent);
    void setNakCommand(int code);
    void setNoWakeupAfterParamWrite(bool on);
    // Answers `count` more packets from the host, then falls silent as
    // setSilent(true) does (a unit that stops answering midway through a
    // sequence); setSilent(false) ends it.
    void setSilentAfterPackets(int count);
    // Reads `count` more packets from the host and answers them, then hangs
    // up at the next one, as dropAfterPackets does from the start (a cable
    // pulled in the middle of a save or a restore).
    void setDropAfterPackets(int count);
    // From now on every answer leaves `ms` later, fast or not (a unit, or a
    // line, that takes its time once the definitions are in).
    void setAnswerDelay(int ms);
    // How long the next wake from sleep takes (SimOptions::wakeBusyMs).
    void setWakeBusy(int ms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm::sim
