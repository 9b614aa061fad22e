// A DeviceModel on a real CQuorControl whose line is a FakeSerialPort: what the
// model sends shows up as writes, what the "unit" says is injected as bytes and
// routed by the link's own reader. Timings are cut so a test runs in moments.
#pragma once

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/settings_keys.h"
#include "tests/support/fast_timing.h"
#include "tests/support/program_rig.h"
#include "tests/support/wait_until.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

class LinkedModel : public ProgramRig {
public:
    // The PROGRAM slot's id; a PROGRAM change makes the model send a request,
    // which serves as a marker that the reader has handled what came before.
    static constexpr std::uint8_t kProgramId = 250;

    // Quick acknowledgement, save and restore waits: 50 passes of 5 ms.
    LinkedModel()
    {
        FastTiming timing;
        timing.configWaitCount = 50;
        timing.configWaitIntervalMs = 5;
        storeFastTiming(settings, timing);
    }
    ~LinkedModel() override { link.reset(); } // its threads write the trace below

    // Constructs the link; the unit "answers" the greeting at once. The sweep
    // the link starts is left to the test (see quiet()).
    void start(bool reload = false)
    {
        startOnFakeLine(reload);
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

private:
    std::mutex traceMutex; // guards traceText (written by the link's threads)
    std::string traceText;
};

} // namespace bm::test
