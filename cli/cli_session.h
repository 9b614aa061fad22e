// One brennmark-cli run's connection to the unit: the settings store, the serial
// line (or an in-process simulated unit), the link and the device model, with
// the program's own start-up: definition cache or download, greeting, detection
// and the status sweep. The main thread owns the session and pumps the link's
// timers and notifications while it waits.
#pragma once

#include "cli/cli_prompt.h"
#include "link/quor_control.h"
#include "model/controls.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "unit/unit_core.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace bm::sim {
class SimServer;
}

namespace bm::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDifferent = 1;
inline constexpr int kExitError = 2;
inline constexpr int kExitNoUnit = 3;
inline constexpr int kExitBusy = 4; // another program holds the port

struct CliOptions {
    std::string port;       // --port DEVICE (a path or tcp://HOST:PORT)
    bool simulate = false;  // --simulate
    std::string model = "de1";   // --model de1|za2 (with --simulate)
    std::string firmware = "A";  // --firmware A|B (with --simulate)
    std::string traceFile;  // --trace FILE
    std::string captureFile;    // --capture FILE
    bool captureRedact = false; // --capture-redact
    std::string captureCommand; // the command words, for the capture's header
    bool verbose = false;   // -v: the link's decoded packets on standard error
    bool quiet = false;     // -q: no progress or notes on standard error
    int waitSeconds = 0;    // --wait SECONDS: how long a busy port is waited for
    // What the start-up sweep reads (DeviceModel::SweepPart bits).
    unsigned sweepParts = DeviceModel::kSweepEverything;
};

class CliSession {
public:
    explicit CliSession(CliOptions options);
    ~CliSession(); // says goodbye to the unit when connected, then closes the link

    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // Opens the settings store only (diff of two files needs no unit).
    void openSettings();
    // This store rather than the user's (before openSettings or connect).
    void useSettings(std::unique_ptr<SettingsStore> settings) { settings_ = std::move(settings); }
    // The whole start-up. kExitOk, kExitNoUnit (no port, no answer),
    // kExitBusy (another program holds the port, after --wait) or kExitError
    // (the sweep did not end), with the reason in `error`.
    int connect(std::string& error);

    SettingsStore& settings() { return *settings_; }
    // A capture of the session from here on, unless one was asked for
    // already (--capture); closeCapture() ends it (the link may write on,
    // into nothing).
    void startCapture(const std::string& path, bool redact);
    void closeCapture()
    {
        if (core_)
            core_->closeCapture();
    }
    DeviceModel& model() { return core_->model(); }
    CQuorControl& link() { return core_->link(); }
    CliPrompt& prompt() { return prompt_; }
    // The unit's typed events and the read log.
    unitcore::UnitTap& events() { return core_->tap(); }
    bool connected() const { return core_ && core_->linked() && connected_; }

    // Runs due link timers and notifications on this thread.
    void pump();
    // Pumps until `done` or `limitMs` have passed; the final test of `done`.
    bool waitFor(const std::function<bool()>& done, int limitMs);
    // Starts a status sweep and waits for it to end (the model is then fresh).
    bool sweep(int limitMs = 10000);
    // Stops the link at once: nothing more is sent (after a refusal).
    void stopSending();
    // Waits until the link may send (a unit-originated change holds our
    // sends off for 500 ms).
    void waitUntilSendAllowed();
    // The goodbye of a run ended by a signal, from the thread that gives the
    // process its last words while this thread still works: said once, and
    // only once the link is up (and not after a refusal stopped the sends).
    void goodbyeOnSignal();

private:
    bool startSimulator(std::string& error, std::string& device);
    // Constructs the link (which opens the port and greets the unit); while
    // the port is busy and --wait allows, tries again. False with the exit
    // status and reason when no unit answered.
    bool openLink(const std::string& device, bool download, int portIndex, int& status, std::string& error);
    // The goodbye is written and has left the port.
    void sayGoodbye();
    // The start-up wait's pass: pumps until `over` or `ms` have passed.
    StartupWait::Wait pumpingWait();
    // The start-up wait's progress: a download's counts on a terminal.
    StartupWait::PassHook startupProgress();

    CliOptions options_;
    CliPrompt prompt_;
    ManualOwnerWindow owner_;
    std::unique_ptr<sim::SimServer> sim_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<unitcore::UnitCore> core_;
    bool connected_ = false;
    std::mutex goodbyeMutex_;          // one goodbye: on a signal or at the end
    std::atomic<bool> goodbyeReady_{false}; // the link and model are up (set after connected_)
    bool goodbyeSaid_ = false;         // guarded by goodbyeMutex_
};

} // namespace bm::cli
