// A DeviceModel on a real CQuorControl whose line is a FakeSerialPort: what the
// model sends shows up as writes, what the "unit" says is injected as bytes and
// routed by the link's own reader. Timings are cut so a test runs in moments.
#pragma once

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "platform/memory_settings.h"
#include "platform/scripted_prompt.h"
#include "platform/settings_keys.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bm::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes frame(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
{
    const Packet p = framePacket(code, data);
    return Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
}

inline Bytes frame(std::uint8_t code, const Bytes& data)
{
    const Packet p = framePacket(code, data.data(), data.size());
    return Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
}

// Data bytes followed by a text (no NUL added).
inline Bytes withText(Bytes data, const std::string& text)
{
    data.insert(data.end(), text.begin(), text.end());
    return data;
}

inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class LinkedModel {
public:
    // The PROGRAM slot's id; a PROGRAM change makes the model send a request,
    // which serves as a marker that the reader has handled what came before.
    static constexpr std::uint8_t kProgramId = 250;

    LinkedModel()
    {
        using namespace keys;
        settings.writeInt(kComm, kWritePacketCheckInterval.name, 1);
        settings.writeInt(kComm, kWritePacketExtraDelayBefore.name, 0);
        settings.writeInt(kComm, kWritePacketExtraDelayAfter.name, 0);
        settings.writeInt(kComm, kWritePacketDoCharDelay.name, 0);
        settings.writeInt(kComm, kWritePacketAckWaitCount.name, 1);
        settings.writeInt(kComm, kWritePacketAckWaitInterval.name, 1);
        settings.writeInt(kComm, kSaveConfigWaitCount.name, 50);
        settings.writeInt(kComm, kSaveConfigWaitInterval.name, 5);
        settings.writeInt(kComm, kRestoreConfigWaitCount.name, 50);
        settings.writeInt(kComm, kRestoreConfigWaitInterval.name, 5);
        settings.writeInt(kComm, kRestoreConfigWakeupWaitCount.name, 50);
        settings.writeInt(kComm, kRestoreConfigWakeupWaitInterval.name, 5);
    }

    ~LinkedModel() { link.reset(); }

    // Constructs the link; the unit "answers" the greeting at once. The sweep
    // the link starts is left to the test (see quiet()).
    void start(bool reload = false)
    {
        port.inject(frame(DC_ACK, {HOST_WAKEUP}));
        link = std::make_unique<CQuorControl>(
            CQuorControl::Environment{owner, settings, prompt, port}, 1, reload, &model);
        link->attachTrace([this](std::string_view text) {
            std::lock_guard lock(traceMutex);
            traceText += text;
        });
    }

    // Starts the link with no sweep running and nothing recorded yet.
    void startQuiet()
    {
        start(false);
        link->state().StatusSweepActive = false;
        // Greeting (2) and the sweep's first request.
        port.waitForWrites(3, 3000);
        port.clearWrites();
        model.ResolveNamedParam("PROGRAM", kProgramId);
    }

    void feed(const Bytes& bytes) { port.inject(bytes); }

    // Waits until the reader has handled everything fed so far (and the
    // writer has written what the handlers sent), using a PROGRAM change as
    // the marker. Returns the writes before the marker and clears them all.
    std::vector<Bytes> settle(std::uint8_t markerEffect = 0x1F)
    {
        const std::size_t before = port.writes().size();
        feed(frame(DC_PARAM_CHG_MSG, {kProgramId, markerEffect}));
        const Bytes marker = frame(DC_CMD_GET_EFFECT, {markerEffect});
        std::vector<Bytes> out;
        waitUntil([&] {
            const auto w = port.writes();
            for (std::size_t i = before; i < w.size(); ++i) {
                if (w[i] == marker) {
                    out.assign(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(i));
                    return true;
                }
            }
            return false;
        });
        port.clearWrites();
        return out;
    }

    // Writes recorded so far once at least `n` have been made.
    std::vector<Bytes> writes(std::size_t n)
    {
        port.waitForWrites(n, 3000);
        return port.writes();
    }

    std::string traced()
    {
        std::lock_guard lock(traceMutex);
        return traceText;
    }

    InMemorySettings settings;
    ScriptedPrompt prompt;
    ManualOwnerWindow owner;
    FakeSerialPort port;
    DeviceModel model{settings, prompt};
    std::unique_ptr<CQuorControl> link;

private:
    std::mutex traceMutex; // guards traceText (written by the link's threads)
    std::string traceText;
};

} // namespace bm::test
