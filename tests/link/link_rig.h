// Shared test rig for the link: the four test back-ends, a client that records
// the hooks the receiver calls, and helpers to build links with or without
// their threads.
#pragma once

#include "link/link_client.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "link/receiver_pass.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "tests/support/fast_timing.h"
#include "tests/support/wait_until.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bm::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const Packet& p)
{
    return Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
}

inline Bytes frame(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
{
    return bytesOf(framePacket(code, data));
}

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline long elapsedMs(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// Records every hook as a line of text, in call order. Thread-safe: the
// receiver calls it on the reader thread.
class RecordingClient : public LinkClient {
public:
    void bindLink(CQuorControl& link) override
    {
        link_ = &link;
        record("bind");
    }
    void loadDefinitionCache() override { record("loadCache"); }
    void storeParamValue(std::uint8_t id, std::uint8_t value) override
    {
        record(text("store %02x %02x", id, value));
    }
    void mirrorParamChange(std::uint8_t id, std::uint8_t value) override
    {
        record(text("mirror %02x %02x%s", id, value,
                    link_ && link_->state().SendSuppressed.load() ? " suppressed" : ""));
        if (onMirror)
            onMirror();
    }
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override
    {
        record(text("fpd %zu", length));
    }
    void setCurrentEffect(std::uint8_t effectId) override { record(text("effect %02x", effectId)); }
    void routePacket(const Packet& packet) override
    {
        record(text("route %02x", packet.code()));
        {
            std::lock_guard lock(mutex_);
            routed_.push_back(bytesOf(packet));
        }
        if (onRoute)
            onRoute(packet);
    }

    std::vector<std::string> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Bytes> routed() const
    {
        std::lock_guard lock(mutex_);
        return routed_;
    }
    std::size_t count(const std::string& call) const
    {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& c : calls_)
            n += c == call;
        return n;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        calls_.clear();
        routed_.clear();
    }

    // Set before the link runs; called on the reader thread.
    std::function<void()> onMirror;
    std::function<void(const Packet&)> onRoute;

private:
    template <class... A>
    static std::string text(const char* format, A... args)
    {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, format, args...);
        return buffer;
    }
    void record(std::string call)
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    CQuorControl* link_ = nullptr;
    mutable std::mutex mutex_; // guards calls_ and routed_
    std::vector<std::string> calls_;
    std::vector<Bytes> routed_;
};

// The manual owner window, keeping the period of every start of each timer.
// (An expiry of an earlier period is delivered with expirePeriod, which the
// window drops once the timer was restarted.)
class KeepingOwnerWindow : public ManualOwnerWindow {
public:
    void setTimer(int id, int periodMs, TimerProc proc) override
    {
        {
            std::lock_guard lock(periodsMutex_);
            periods_[id].push_back(periodMs);
        }
        ManualOwnerWindow::setTimer(id, periodMs, std::move(proc));
    }
    // The periods timer `id` was started with, in order.
    std::vector<int> periods(int id) const
    {
        std::lock_guard lock(periodsMutex_);
        auto it = periods_.find(id);
        return it == periods_.end() ? std::vector<int>{} : it->second;
    }

private:
    mutable std::mutex periodsMutex_; // guards periods_
    std::map<int, std::vector<int>> periods_;
};

struct Rig {
    FakeSerialPort serial;
    KeepingOwnerWindow owner;
    ScriptedPrompt prompt;
    InMemorySettings settings;
    RecordingClient client;
    CQuorControl::Environment env{owner, settings, prompt, serial};
    std::unique_ptr<CQuorControl> link; // last: destroyed before the back-ends

    // Pacing cut to 2 ms a send; the acknowledgement wait keeps its defaults.
    Rig() { storeFastTiming(settings, FastTiming::pacingOnly()); }

    // A link whose port fails to open: no threads, driven by ReceiverPass.
    CQuorControl& offline(bool withClient = true, bool reload = false)
    {
        serial.setOpenFails(true);
        link = std::make_unique<CQuorControl>(env, 1, reload, withClient ? &client : nullptr);
        return *link;
    }

    // A running link whose unit answers the greeting at once (with a DC_ACK of
    // HOST_WAKEUP), so construction takes about a tenth of a second.
    CQuorControl& live(int port = 1)
    {
        serial.inject(frame(DC_ACK, {HOST_WAKEUP}));
        link = std::make_unique<CQuorControl>(env, port, false, &client);
        return *link;
    }

    void feed(const Bytes& chunk) { ReceiverPass::run(*link, chunk.data(), chunk.size()); }
    void quietPass() { ReceiverPass::run(*link, nullptr, 0); }

    std::vector<Notification> posted(int message) const
    {
        std::vector<Notification> out;
        for (const auto& n : owner.history())
            if (n.message == message)
                out.push_back(n);
        return out;
    }

    std::size_t writesOf(const Bytes& packet) const
    {
        std::size_t n = 0;
        for (const auto& w : serial.writes())
            n += w == packet;
        return n;
    }
};

} // namespace bm::test
