// The one bring-up of the unit under every face (brennmark-cli, the service's
// line, the panel): the start choice from the settings (port, definition cache
// or download), the trace and capture files, the serial line (a device,
// tcp://, or the service's line), the device model, the link with its greeting
// and detection, the start-up wait with the read-back after a download, and
// the goodbye. What a face adds (prompts, dialogs, progress, retries while a
// port is busy) it passes in.
//
// The model sees the link through a tap that turns what the unit does into
// typed events (unit/unit_events.h): a change of a control, the front
// panel's text, sleep and wake, another unit or ROM, and the end of the sweep
// that makes a new unit's values count. Recovery itself (the line lost and
// reopened, the sweep after it) is the link's; the tap tells the faces.
//
// Standard library only.
#pragma once

#include "link/capture_file.h"
#include "link/link_client.h"
#include "link/link_state.h"
#include "model/controls.h"
#include "model/startup_wait.h"
#include "unit/unit_events.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bm {
class CQuorControl;
class DeviceModel;
class OwnerWindow;
class Prompt;
class Pump;
class SerialDevice;
class SettingsStore;
} // namespace bm

namespace bm::unitcore {

// What the settings say about this start. Reading it takes a forced download
// (it happens once per request); a missing definition cache forces one.
struct StartChoice {
    int portIndex = 0; // 0..3, the stored "CommPort" (anything else: 0)
    bool download = false;
};
StartChoice takeStartChoice(SettingsStore& settings);

// How the link's construction went.
enum class Detection {
    Heard,       // a unit (or something) answered the greeting
    PortFailed,  // the port did not open
    PortBusy,    // the port is held by another program
    NotDetected, // the port opened, nothing answered
};

// The typed event stream and the model's routing, with the read log every
// control needs. All routing calls come on the link's reader thread; events
// go to the listener there (no lock held) and, while recording, into a queue.
class UnitTap : public LinkClient {
public:
    explicit UnitTap(DeviceModel& model) : model_(model) {}

    void bindLink(CQuorControl& link) override;
    void loadDefinitionCache() override;
    void storeParamValue(std::uint8_t id, std::uint8_t value) override;
    void mirrorParamChange(std::uint8_t id, std::uint8_t value) override;
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override;
    void setCurrentEffect(std::uint8_t effectId) override;
    void routePacket(const Packet& packet) override;

    // Called for every packet the model took through routePacket (the
    // service's freshness marks); set before the link is made.
    void setRouted(std::function<void(const Packet&)> routed) { routed_ = std::move(routed); }
    // Called for every event; set before the link is made.
    void setListener(std::function<void(const UnitEvent&)> listener) { listener_ = std::move(listener); }
    // Queues the events from now on (a clear queue), or stops and clears.
    void setRecording(bool on);
    std::deque<UnitEvent> take();
    // A line state, told by the face that follows the link's notices. After
    // the line was lost, the unit that answers again may be another: nothing
    // is told until the sweep's unit configuration says which (the same one:
    // what changed since the loss; another: Unit). A sweep the line cut short
    // is run again when the unit answers again.
    void noteLine(LineState state);

    const controls::ReadLog& readLog() const { return readLog_; }
    // Waits until the reader has routed something since `seen` (a count
    // from routed()) or `milliseconds` have passed.
    std::uint64_t routed() const;
    void waitForRouting(std::uint64_t seen, int milliseconds);

private:
    void push(UnitEvent event);
    void noteRouted();
    // Between another unit's configuration and the end of the sweep (and
    // download) it started, nothing the model holds is the new unit's yet.
    bool holding() const;

    DeviceModel& model_;
    CQuorControl* link_ = nullptr;
    std::function<void(const Packet&)> routed_;
    std::function<void(const UnitEvent&)> listener_;
    mutable std::mutex mutex_; // guards recording_, events_ and routedCount_
    std::condition_variable news_;
    bool recording_ = false;
    std::deque<UnitEvent> events_;
    std::uint64_t routedCount_ = 0;
    controls::ReadLog readLog_;
    std::atomic<bool> newUnit_{false}; // reader thread; read by holding()
    std::atomic<bool> unconfirmed_{false}; // since the line was lost, until the unit's configuration
    LineState lastLine_ = LineState::Connected; // the face's thread
    // The values when the line was lost (guarded by mutex_).
    std::vector<controls::Control> lostControls_;
    std::vector<std::optional<controls::Value>> lostValues_;
    bool downloadSeen_ = false;        // reader thread: the new unit's definitions were downloaded
};

// One face's connection to the unit.
class UnitCore {
public:
    struct Environment {
        OwnerWindow& owner;
        SettingsStore& settings;
        Prompt& prompt;
        Pump* pump = nullptr; // keeps the owner's thread running in the link's waits
        // A capture the face keeps itself, used when the core opens none.
        CaptureWriter* capture = nullptr;
        // The link's least wait for each packet's answer (CQuorControl::Environment).
        int leastAnswerWaitMs = 0;
    };
    explicit UnitCore(Environment env);
    ~UnitCore(); // close()

    UnitCore(const UnitCore&) = delete;
    UnitCore& operator=(const UnitCore&) = delete;

    // The trace (the decoded packets) and the capture (every byte), opened
    // before the port so that the greeting is in them. False with the reason.
    bool openTrace(const std::string& path, std::string& error);
    bool openCapture(const std::string& path, bool redact, const std::string& command, std::string& error);
    bool tracing() const { return trace_.is_open(); }
    std::ofstream& traceFile() { return trace_; }
    bool capturing() const { return capture_.isOpen(); }
    void closeCapture() { capture_.close(); }

    // Makes the model, its tap and the link on `serial`: the port opens, the
    // unit is greeted and listened to for about a second. `trace` is where
    // the decoded packets go when no trace file is open (-v), or null.
    // `prepare` runs on the new model and tap before the link exists (the
    // sweep's parts, the tap's hooks).
    Detection open(std::unique_ptr<SerialDevice> serial, int portIndex, bool download, std::ostream* trace = nullptr,
                   const std::function<void(DeviceModel&, UnitTap&)>& prepare = {});
    // Another try on the same serial device, model and tap (their holders
    // keep them): a new link, greeting and all.
    Detection reopen(int portIndex, bool download, std::ostream* trace = nullptr);
    // Why no unit answered, in the words every face prints.
    std::string detectionText(Detection d) const;
    // The link sends from here on.
    void enable();
    // The start-up wait: the first sweep, and the definitions when they are
    // downloaded (forced, or a ROM the cache does not hold). `download` ends
    // true when they were; the status is then read once more (each effect
    // definition made its effect current). False, with the program's message,
    // when the wait gave up.
    bool startupChain(bool& download, StartupWait::Wait wait, const StartupWait::PassHook& onPass, std::string& error);
    // A status sweep, waited for with `wait` (false: it did not end in time).
    bool sweep(const StartupWait::Wait& wait, int limitMs = 10000);
    // Front-panel reports off, then HOST_SLEEP (queued; the face waits for them).
    void sayGoodbye();
    // The link's end: nothing more is sent, its threads are gone. The model
    // and the serial device stay (a face may still read what was held).
    void close();
    // close(), and the model and serial device go too (another try).
    void drop();

    bool linked() const { return link_ != nullptr; }
    SettingsStore& settings() { return env_.settings; }
    SerialDevice& serial() { return *serial_; }
    DeviceModel& model() { return *model_; }
    const DeviceModel& model() const { return *model_; }
    CQuorControl& link() { return *link_; }
    UnitTap& tap() { return *tap_; }
    const controls::ReadLog& readLog() const { return tap_->readLog(); }
    CaptureWriter* capture() { return capture_.isOpen() ? &capture_ : env_.capture; }

private:
    Environment env_;
    std::ofstream trace_;
    CaptureWriter capture_;
    std::unique_ptr<SerialDevice> serial_;
    std::unique_ptr<DeviceModel> model_;
    std::unique_ptr<UnitTap> tap_;
    std::unique_ptr<CQuorControl> link_;
};

} // namespace bm::unitcore
