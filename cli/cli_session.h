// One brennmark-cli run's connection to the unit: the settings store, the serial
// line (or an in-process simulated unit), the link and the device model, with
// the program's own start-up: definition cache or download, greeting, detection
// and the status sweep. The main thread owns the session and pumps the link's
// timers and notifications while it waits.
#pragma once

#include "cli/cli_prompt.h"
#include "link/capture_file.h"
#include "link/link_client.h"
#include "link/quor_control.h"
#include "model/controls.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

#include <condition_variable>
#include <cstdint>
#include <atomic>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
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

// Something the unit reported by itself, for watch.
struct UnitEvent {
    enum class Kind { Param, FrontPanel, Sleep, Wakeup };
    Kind kind = Kind::Param;
    std::uint8_t id = 0;
    std::uint8_t value = 0;
    std::string line1, line2;
};

// Passes every routing call on to the model, and keeps the unit's own reports
// for watch while recording is on. Called on the reader thread.
class EventTap : public LinkClient {
public:
    explicit EventTap(DeviceModel& model) : model_(model) {}

    void bindLink(CQuorControl& link) override { model_.bindLink(link); }
    void loadDefinitionCache() override { model_.loadDefinitionCache(); }
    void storeParamValue(std::uint8_t id, std::uint8_t value) override;
    void mirrorParamChange(std::uint8_t id, std::uint8_t value) override;
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override;
    void setCurrentEffect(std::uint8_t effectId) override;
    void routePacket(const Packet& packet) override;

    void setRecording(bool on);
    std::deque<UnitEvent> take();
    // What this run has read from the unit.
    const controls::ReadLog& readLog() const { return readLog_; }
    // Waits until the reader has routed something since `seen` (a count from
    // routed()) or `milliseconds` have passed.
    std::uint64_t routed() const;
    void waitForRouting(std::uint64_t seen, int milliseconds);

private:
    void push(UnitEvent event);
    void noteRouted();

    DeviceModel& model_;
    mutable std::mutex mutex_; // guards recording_, events_ and routed_
    std::condition_variable news_; // signalled after every routing call
    bool recording_ = false;
    std::deque<UnitEvent> events_;
    controls::ReadLog readLog_;
    std::uint64_t routed_ = 0;
};

class CliSession {
public:
    explicit CliSession(CliOptions options);
    ~CliSession(); // says goodbye to the unit when connected, then closes the link

    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // Opens the settings store only (diff of two files needs no unit).
    void openSettings();
    // The whole start-up. kExitOk, kExitNoUnit (no port, no answer),
    // kExitBusy (another program holds the port, after --wait) or kExitError
    // (the sweep did not end), with the reason in `error`.
    int connect(std::string& error);

    SettingsStore& settings() { return *settings_; }
    // A capture of the session from here on, unless one was asked for
    // already (--capture); closeCapture() ends it (the link may write on,
    // into nothing).
    void startCapture(const std::string& path, bool redact);
    void closeCapture() { capture_.close(); }
    DeviceModel& model() { return *model_; }
    CQuorControl& link() { return *link_; }
    CliPrompt& prompt() { return prompt_; }
    EventTap& events() { return *tap_; }
    bool connected() const { return link_ != nullptr && connected_; }

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
    bool openLink(bool download, int portIndex, int& status, std::string& error);
    // The goodbye is written and has left the port.
    void sayGoodbye();
    // Waits as the program does at start; `download` ends true when the
    // definitions were downloaded (forced, or after a ROM mismatch).
    bool waitForStartupSweep(bool& download, std::string& error);

    CliOptions options_;
    CliPrompt prompt_;
    ManualOwnerWindow owner_;
    std::unique_ptr<sim::SimServer> sim_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<SerialDevice> serial_;
    std::unique_ptr<DeviceModel> model_;
    std::unique_ptr<EventTap> tap_;
    std::unique_ptr<CQuorControl> link_;
    std::ofstream trace_;
    CaptureWriter capture_;
    bool connected_ = false;
    std::mutex goodbyeMutex_;          // one goodbye: on a signal or at the end
    std::atomic<bool> goodbyeReady_{false}; // link_ and model_ are up (set after connected_)
    bool goodbyeSaid_ = false;         // guarded by goodbyeMutex_
};

} // namespace bm::cli
