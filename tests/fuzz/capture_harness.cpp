// Capture input: the bytes of a capture file, plain or gzip. A capture that
// is read must replay strictly against its own requests with no difference,
// and loosely with none either; one that is refused names a line within it.
#include "harnesses.h"

#include "link/capture_file.h"
#include "sim/replay.h"

#include <algorithm>
#include <string>

namespace bm::fuzz {

CaptureRun runCaptureInput(const std::uint8_t* data, std::size_t size)
{
    CaptureRun run;
    std::string text(reinterpret_cast<const char*>(data), size);
    if (size >= 2 && data[0] == 0x1F && data[1] == 0x8B) {
        std::string plain, why;
        if (!gunzip(text, plain, why)) {
            if (why.empty())
                propertyFailed("a gzip input refused without a reason");
            return run;
        }
        text = std::move(plain);
    }
    Capture capture;
    CaptureError error;
    if (!parseCapture(text, capture, error)) {
        const long lines = 1 + static_cast<long>(std::count(text.begin(), text.end(), '\n'));
        if (error.line < 1 || error.line > lines || error.message.empty())
            propertyFailed("a refused capture names no line of its own");
        return run;
    }
    run.read = true;
    double last = 0;
    for (const CaptureEvent& e : capture.events) {
        if (e.t < last)
            propertyFailed("events out of order");
        last = e.t;
        if (e.kind != CaptureEvent::Kind::Mark && e.bytes.empty())
            propertyFailed("a packet line without bytes");
    }
    for (const bool loose : {false, true}) {
        sim::ReplayEngine engine(capture, loose);
        engine.start(0);
        double t = 0;
        for (const CaptureEvent& e : capture.events) {
            if (e.kind != CaptureEvent::Kind::Tx)
                continue;
            std::vector<sim::ReplayAction> actions;
            if (!engine.request(e.bytes, t += 0.01, actions))
                propertyFailed("a capture differs from its own requests");
            ++run.requests;
        }
        if (!engine.finish().empty())
            propertyFailed("a replay of a capture's own requests left a difference");
    }
    run.requests /= 2;
    return run;
}

} // namespace bm::fuzz
