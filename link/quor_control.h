// CQuorControl: the program's one connection to the processor. It owns the port,
// the paced write queue with its writer thread, the reader thread with its ring
// buffer, the capture queue and the link's routing; the device model joins in
// through LinkClient. Link state is per object, so tests can run several links.
#pragma once

#include "link/link_client.h"
#include "link/link_state.h"
#include "link/operation_queue.h"
#include "link/packet.h"
#include "platform/owner_window.h"
#include "platform/prompt.h"
#include "platform/serial_device.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "platform/sleep.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>

namespace bm {

class CaptureWriter;

// Timer ids on the owner window.
inline constexpr int kResponseWindowTimer = 10;
inline constexpr int kSuppressionTimer = 2;
inline constexpr int kTimerPeriodMs = 500;

// WaitForReply's polling step: a tenth of the limit, kept within 20..60 ms.
constexpr int replyPollStep(int limitMs)
{
    return std::clamp(limitMs / 10, 20, 60);
}

// Line recovery. A unit that leaves the program's requests unanswered this long,
// with nothing at all heard meanwhile, is NotAnswering; this much longer and the
// line counts as Lost. While Lost the port is opened again every interval and
// the unit greeted; a greeting unanswered within the greeting time closes it.
inline constexpr int kNotAnsweringMs = 3000;
// The link's two retry questions, as the panel's dialogs ask them.
inline constexpr const char* kNakPromptText = "NAK Received. Press OK to Retry.";
inline constexpr const char* kTimeoutPromptText = "Timeout. Press Enter to Retry!";
inline constexpr int kLostAfterMs = 3000;
inline constexpr int kReconnectIntervalMs = 1000;
inline constexpr int kReconnectGreetingMs = 1000;
// On a line the service shares, a request may wait for other clients' work
// before it reaches the unit: the service's bound for a queued request (the
// wait for the line, then the exchange) stands in for the unit's window in the
// time-out rule and the not-answering clock.
inline constexpr int kSharedLineAnswerMs = 15000 + 1500;

// The fourteen "Comm" timing values, in the order of keys::kTimingKeys.
enum class Timing : int {
    SaveConfigWaitCount,
    SaveConfigWaitInterval,
    SaveConfigExtraDelay,
    RestoreConfigWaitCount,
    RestoreConfigWaitInterval,
    RestoreConfigExtraDelay,
    RestoreConfigWakeupWaitCount,
    RestoreConfigWakeupWaitInterval,
    WritePacketCheckInterval,
    WritePacketExtraDelayBeforeWriting,
    WritePacketExtraDelayAfterWriting,
    WritePacketAckWaitCount,
    WritePacketAckWaitInterval,
    WritePacketDoCharDelay,
};

// While one lives on a thread, that thread's sends are not held for the
// writer's pace. For a caller that waits for each answer through its
// operation before it sends again (the service, whose clients pace
// themselves): its requests cannot run ahead of the line, and the wire's own
// pacing (the writer's waits) is unchanged.
class CallerPaceWaiver {
public:
    CallerPaceWaiver();
    ~CallerPaceWaiver();
    CallerPaceWaiver(const CallerPaceWaiver&) = delete;
    CallerPaceWaiver& operator=(const CallerPaceWaiver&) = delete;

private:
    bool was_;
};

class CQuorControl {
public:
    struct Environment {
        OwnerWindow& owner;
        SettingsStore& settings;
        Prompt& prompt;
        SerialDevice& serial;
        // Attached before the port opens, so the greeting and the detection are
        // in it; optional.
        std::ostream* trace = nullptr;
        // Kept running by the waits that block the owner window's thread (the
        // greeting, send pacing, WaitForReply, the capture waits, the close);
        // optional. The link's own threads only ever sleep plainly.
        Pump* pump = nullptr;
        // Every byte written and read, the line states and the operations,
        // as a capture (link/capture_file.h); optional. The link writes its
        // header when the writer has none yet.
        CaptureWriter* capture = nullptr;
        // The least time the writer gives the unit to answer a packet before
        // it writes the next (the timing values' wait when that is longer).
        // A line that many clients share waits for the unit's whole answer
        // time, so that no request reaches the unit while it still owes one.
        int leastAnswerWaitMs = 0;
    };

    // Construction, in order: record the owner, port and reload flag, set
    // LinkEnabled, zero the counters, bind the client; read the fourteen
    // "Comm" values and write them back; load the definition cache through the
    // client unless reloading; InitInstance() (result ignored: see UnitHeard).
    CQuorControl(const Environment& env, int portNumber, bool reloadDefinitions,
                 LinkClient* client);
    ~CQuorControl(); // runs ExitInstance()

    CQuorControl(const CQuorControl&) = delete;
    CQuorControl& operator=(const CQuorControl&) = delete;

    // Opens the port, starts the reader and writer, greets the unit and waits
    // up to about a second for any packet. 1 when the unit answered, else 0;
    // 0 at once when the port is already open.
    int InitInstance();
    // Closes the port, joins both threads, disables the link and frees what is
    // still queued. Safe to call twice; returns 0 (the exit code). Call it only
    // at exit and never from the link's own threads: if the reader is held by a
    // prompt, the prompt is abandoned so the reader can be joined, and every
    // later ask() on that prompt returns Cancel at once.
    int ExitInstance();
    void EnableLink();
    void DisableLink();

    bool isOpen() const;
    int portNumber() const;
    // Where the program stands with the unit (state().Line); every change is
    // posted to the owner window as WM_LINE_STATE.
    LineState line() const;

    // Queues a copy of a framed packet and holds the caller for its pacing
    // delay. Always returns 1. While the line is Lost the packet is dropped:
    // neither queued nor counted.
    int SendPacket(const std::uint8_t* packet, std::size_t length);
    int SendPacket(const Packet& packet);
    // 1 when ResponseReceived is set within `limitMs`, else 0; polls every
    // replyPollStep(limitMs) ms.
    int WaitForReply(int limitMs);
    // Packets queued and not yet taken by the writer.
    std::size_t queuedPackets() const;
    // Copy of the packet most recently written to the port.
    Packet LastPacket() const;

    // The oldest captured packet, or none.
    std::optional<Packet> PopCaptured();
    // Drops every captured packet.
    void DiscardCaptured();

    LinkState& state() { return state_; }
    const LinkState& state() const { return state_; }

    // The one owner of the line (link/operation_queue.h): every exchange with
    // the unit other than the start-up chain runs as an Operation through it.
    OperationQueue& operations();

    // Timing values in force; the six "WritePacket" ones may be changed while
    // the link runs and take effect with the next packet.
    int timing(Timing which) const;
    void setTiming(Timing which, int value);

    // Trace: nothing is written unless a stream or a callback is attached.
    void attachTrace(std::ostream* stream);
    void attachTrace(std::function<void(std::string_view)> sink);
    void detachTrace();
    bool tracing() const;
    void trace(std::string_view text);
    void tracef(const char* format, ...) __attribute__((format(printf, 2, 3)));

    OwnerWindow& owner() { return env_.owner; }
    Prompt& prompt() { return env_.prompt; }
    Pump* pump() { return env_.pump; }
    SettingsStore& settings() { return env_.settings; }

private:
    struct Impl;
    friend struct ReceiverPass; // link/receiver_pass.h
    // The receiver's work for one pass: insert the bytes into the ring and
    // handle every whole packet; an empty chunk applies the time-out rule.
    void processIncoming(const std::uint8_t* data, std::size_t length);
    // SendPacket's work; `own` marks the link's greeting and wake-up requests,
    // which the send suppression does not drop.
    int send(const std::uint8_t* packet, std::size_t length, bool own);

    Environment env_;
    LinkState state_;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm
