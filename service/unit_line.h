// The service's side of the unit: the settings, the serial line, the link, the
// device model and the operation queue, all driven from one thread of their
// own (the line thread). It starts the unit as the panel does (definition
// cache or download, greeting, detection, status sweep), runs the jobs the
// clients hand it one at a time (a client's request passed to the unit, a JSON
// get, set or ir), hands the unit's unsolicited packets to the service, and
// says goodbye to the unit when stopped.
#pragma once

#include "link/capture_file.h"
#include "link/link_client.h"
#include "link/link_state.h"
#include "link/operation_queue.h"
#include "link/packet.h"
#include "model/controls.h"
#include "platform/manual_owner_window.h"
#include "platform/prompt.h"
#include "service/tone_guard.h"
#include "unit/unit_core.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bm {
class CQuorControl;
class DeviceModel;
class SerialDevice;
class SettingsStore;
} // namespace bm

namespace bm::service {

// Text of a line state for logs and the JSON API ("connected", "lost", ...).
const char* lineStateName(LineState state);

// What the unit answers a client request with (one packet completes it).
PacketMatch answerOf(const Packet& request);

class UnitLine : public controls::LineHost {
public:
    struct Hooks {
        // The unit's unsolicited packets, on the reader thread (must not block).
        std::function<void(const Packet&)> unsolicited;
        // A change of the line state, on the line thread.
        std::function<void(LineState)> lineState;
        // Controls whose values a reconnection's sweep found changed, on the
        // line thread: their parameter ids and values (frame clients) and the
        // controls (JSON subscribers).
        std::function<void(const std::vector<std::pair<std::uint8_t, std::uint8_t>>&)> sweepChanges;
        // One line for the log.
        std::function<void(const std::string&)> log;
        // The unit core's typed events (unit/unit_events.h), on the reader
        // thread (line states on the line thread); must not block.
        std::function<void(const unitcore::UnitEvent&)> events;
        // Another unit or ROM answered, on the reader thread (must not
        // block): what its clients hold is the old unit's. The line reads as
        // changing until its definitions and values are in (unitChanging()).
        std::function<void()> unitChanged;
    };

    struct Config {
        std::string device;    // "" for the stored port
        std::string traceFile; // "" for none
        std::string captureFile;    // "" for none
        bool captureRedact = false;
        bool verbose = false;  // every packet to the log
        // --max-volume: no client's request sets the volume above it (dB).
        std::optional<double> maxVolume;
        // The settings store; null for the panel's own (QSettings).
        std::function<std::unique_ptr<SettingsStore>()> makeSettings;
    };

    UnitLine(Config config, Hooks hooks);
    ~UnitLine() override; // stop()

    // Starts the line thread and waits for the start-up: true when the unit
    // answered and its status (and definitions when needed) were read, and
    // also when no unit answered (unitFound() false: the service waits for it).
    // False for what trying again cannot mend (a trace file not writable).
    bool start(std::string& error);
    // Goodbye to the unit (front-panel reports off, HOST_SLEEP), closes the
    // link and joins the thread. Idempotent.
    void stop();

    // The most jobs that wait at once; a job beyond them is not queued.
    static constexpr std::size_t kMaxJobs = 256;
    // Queues a job for the line thread; jobs run one at a time, in order.
    // False, with nothing queued, when kMaxJobs wait already (the caller
    // answers busy). A job with a `key` ("set volume") replaces a job with
    // the same key still waiting: that one is taken out, its `superseded` is
    // called (on this thread, with no lock held) and this one joins the end.
    bool post(std::function<void()> job, std::string key = {}, std::function<void()> superseded = {});
    // Jobs queued and not yet started.
    std::size_t queuedJobs() const;

    // --- on the line thread ----------------------------------------------------
    // A client's request passed to the unit; its answers collected.
    ExchangeResult passThrough(const Packet& request);
    // Clears the per-job failure marks (a retry the link asked for).
    void beginJob();
    // Reads the unit again when a command, a refusal, a report taken by an
    // operation or the unit's sleep or wake may have changed what the model
    // holds since it was read; false when that failed.
    bool freshStatus();
    // The model no longer holds the unit's state (a key was sent, a write was
    // refused or not confirmed, the unit slept or woke).
    void statusChanged() { fresh_ = 0; }

    // --- any thread ---------------------------------------------------------
    // The answer to a request the service can give from what it holds while
    // the unit is connected and no sweep or download runs (nothing otherwise:
    // ask the unit): the unit's configuration; the definitions, when held
    // complete for the unit's ROM; the status and parameter values, once read
    // in this run and kept current by the unit's own reports, and not changed
    // since by anything the unit does not report. Names are always read
    // through: the unit's bytes, blanks and all.
    std::optional<Packet> cachedAnswer(const Packet& request) const;
    // The unit's display as its last front-panel report gave it (DC_FPD), for
    // a client that switches reports on while the unit is there; nothing
    // before one was read.
    std::optional<Packet> frontPanelReport() const;
    LineState lineState() const;
    // True from another unit's (or ROM's) answer until the sweep and the
    // download it started have ended: nothing held is that unit's yet.
    bool unitChanging() const { return unitChanging_.load(); }
    // How many other units (or ROMs) have been read since the start: a wait
    // begun before one answered ends when it has been read.
    unsigned unitsRead() const { return unitsRead_.load(); }
    // False while no unit has answered since the start (the line reads as
    // lost and the link is tried again every second).
    bool unitFound() const { return !absent_.load(); }
    std::string devicePath() const;
    std::optional<double> maxVolume() const { return config_.maxVolume; }
    // How long a command waits for a unit that is waking (10 s; tests shorten it).
    void setWakeLimit(int ms) { wakeLimitMs_ = ms; }
    // Line thread: a unit that took the On key while asleep is waking until it
    // has sent DC_WAKEUP and answered the sweep after it. Returns at once when
    // no wake is under way; else waits for its end, bounded by the wake
    // limit, and is false with `error` (naming the wake) when the unit was
    // not ready by then. Every request to the unit waits here first.
    bool awaitAwake(std::string& error);

    // Line thread: who last touched bass, treble and tilt (frame clients' keys,
    // JSON and MQTT sets), so that a stale step's key is not sent.
    ToneGuard& toneGuard() { return toneGuard_; }

    // --- controls::LineHost (line thread) ----------------------------------------
    DeviceModel& model() override;
    const controls::ReadLog& readLog() const override; // any thread, once started
    controls::Outcome exchange(std::uint8_t command, const std::function<void()>& send, std::string& error) override;
    // The same for a direct command whose new value the unit reports as
    // parameter `reportOf`: after the acknowledgement, the report is waited for
    // (a short bound) and taken into the records; `reported` says whether it came.
    controls::Outcome exchange(std::uint8_t command, const std::function<void()>& send,
                               std::optional<std::uint8_t> reportOf, std::string& error, bool* reported = nullptr);
    controls::Outcome writeParams(const std::function<int()>& change, std::string& error) override;
    bool waitFor(const std::function<bool()>& done, int limitMs) override;
    bool stepFailed() const override;
    bool reread() override;
    bool customNameShown() const override;
    bool lineLost() const override;
    void expectReport(std::optional<std::uint8_t> param) override;

private:
    class ServicePrompt;
    class LinePump;

    void run();
    bool startUp(std::string& error);
    // The link: opened, the unit greeted and its status (and definitions when
    // needed) read. False with `error`; missing_ says no unit answered.
    bool openLink(std::string& error);
    // With no unit at the start: the link dropped and opened again.
    void retryStart();
    void dropLink();
    bool rereadLinked();
    void goodbye();
    void onNotification(const Notification& n);
    // The unit core's events (reader thread): another unit, and its end.
    void onUnitEvent(const unitcore::UnitEvent& e);
    void checkSweepChanges();
    // Waits (bounded) until the link sends again after a change made at the unit.
    void waitSendAllowed();

    Config config_;
    Hooks hooks_;
    ToneGuard toneGuard_;

    std::thread thread_;
    mutable std::mutex jobsMutex_; // guards jobs_, stopping_
    std::condition_variable jobsCv_;
    struct Job {
        std::function<void()> run;
        std::string key;
        std::function<void()> superseded;
    };
    std::deque<Job> jobs_;
    bool stopping_ = false;
    // Jobs queued or running: the model's own status re-reads wait for them.
    std::atomic<std::size_t> jobsPending_{0};

    // Start-up handshake.
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool startDone_ = false;
    bool startOk_ = false;
    std::string startError_;

    // Line thread only, once started.
    ManualOwnerWindow owner_;
    std::unique_ptr<ServicePrompt> prompt_;
    std::unique_ptr<LinePump> pump_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<unitcore::UnitCore> core_;
    // The core's, while its link is up.
    SerialDevice* serial_ = nullptr;
    DeviceModel* model_ = nullptr;
    unitcore::UnitTap* tap_ = nullptr;
    CQuorControl* link_ = nullptr;
    int listenerId_ = -1;
    int portIndex_ = 0;
    bool download_ = false;
    bool missing_ = false; // the last start found no unit (line thread)
    bool customNameShown_ = false;
    // The set under way: the parameter whose report confirms it, and whether
    // that report came (the read-back needs no sweep then).
    std::optional<std::uint8_t> expectedReport_;
    bool reportCame_ = false;
    // Sweep-change tracking: the values before the line was lost.
    bool sweepPending_ = false;
    std::array<std::uint8_t, 256> valuesBefore_{};
    int countBefore_ = 0;

    std::atomic<bool> connected_{false};
    std::atomic<bool> definitionsComplete_{false};
    // What the model holds as the unit answered it, by answer (kFresh*): a
    // bit is set when the answer is taken in and cleared by whatever may
    // have changed it since (a command a client passed through, a refused or
    // unconfirmed write, a report an operation took, the unit's sleep or wake).
    std::atomic<unsigned> fresh_{0};
    std::atomic<bool> rereadWanted_{false};
    // Another unit answered: set by its UNIT_CONFIG, cleared once its sweep
    // (and download) ended. `otherUnit_` says the reconnection's sweep is
    // another unit's (its values are not compared with the old one's);
    // `unitSettled_` asks the line thread to look at the definitions again.
    std::atomic<bool> unitChanging_{false};
    std::atomic<unsigned> unitsRead_{0};
    std::atomic<bool> otherUnit_{false};
    std::atomic<bool> unitSettled_{false};
    // Reports of parameter changes an operation holding the line took (the
    // unsolicited listener counts them).
    std::atomic<unsigned> reportsTakenByOperations_{0};
    std::atomic<int> line_{static_cast<int>(LineState::Lost)};
    // No unit has answered since the start: the link is made again every
    // second, and the line reads as lost meanwhile.
    std::atomic<bool> absent_{false};
    std::string devicePath_; // set before start() returns
    std::atomic<int> wakeLimitMs_{10000};
    // The On key went to the sleeping unit and it is not known ready yet.
    std::atomic<bool> waking_{false};
    // DC_WAKEUPs the listener heard, and whether one has been routed (its
    // sweep started) since the wake was noted.
    std::atomic<unsigned> wakeupsHeard_{0};
    std::atomic<bool> wakeRouted_{false};
    // After the On key was taken: the unit is waking unless its DC_WAKEUP
    // has come already (`heardBefore`: the count before the key was sent).
    void noteWake(unsigned heardBefore);
};

} // namespace bm::service
