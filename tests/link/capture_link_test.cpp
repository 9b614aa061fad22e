// The link's capture: every write and read as it crossed the line (a packet
// split over two reads stays two lines, noise stays), the port and line
// states in order, from the first byte.
#include "link/capture_file.h"
#include "tests/support/program_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdio>
#include <filesystem>

namespace bm {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::waitUntil;

TEST(LinkCapture, RecordsTheLineAsItWent)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("bm-link-capture-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".jsonl")).string();
    CaptureWriter capture;
    std::string error;
    ASSERT_TRUE(capture.open(path, error)) << error;
    {
        test::ProgramRig rig;
        // The greeting's acknowledgement in two reads, with a noise byte first.
        rig.port.inject({0x55, 0xF1, 0x04});
        rig.port.inject({0xE0, 0x01, 0x11, 0xF2});
        CQuorControl::Environment env{rig.owner, rig.settings, rig.prompt, rig.port};
        env.capture = &capture;
        rig.link = std::make_unique<CQuorControl>(env, 1, false, &rig.model);
        ASSERT_TRUE(waitUntil([&] { return rig.link->state().UnitHeard.load(); }));
        rig.port.unplug();
        ASSERT_TRUE(waitUntil([&] { return rig.link->line() == LineState::Lost; }));
        rig.port.replug();
        rig.port.inject({0xF1, 0x04, 0xE0, 0x01, 0x11, 0xF2});
        ASSERT_TRUE(waitUntil([&] { return rig.link->line() == LineState::Connected; }, 5000));
        rig.link.reset();
    }
    capture.close();

    Capture read;
    CaptureError readError;
    ASSERT_TRUE(readCaptureFile(path, read, readError)) << readError.text();
    std::filesystem::remove(path);
    EXPECT_EQ(read.header["port"], "fake");
    std::vector<std::string> rx, marks;
    std::string firstTx;
    for (const CaptureEvent& e : read.events) {
        if (e.kind == CaptureEvent::Kind::Rx)
            rx.push_back(toHex(e.bytes.data(), e.bytes.size()));
        else if (e.kind == CaptureEvent::Kind::Mark && e.mark != "op")
            marks.push_back(e.mark + " " + e.value);
        else if (e.kind == CaptureEvent::Kind::Tx && firstTx.empty())
            firstTx = toHex(e.bytes.data(), e.bytes.size());
    }
    EXPECT_EQ(firstTx, "f1031100f2"); // HOST_WAKEUP, the very first byte written
    EXPECT_EQ(rx, (std::vector<std::string>{"55f104", "e00111f2", "f104e00111f2"}));
    const std::vector<std::string> expected{"port open", "port closed", "line lost", "port open",
                                            "line reconnecting", "line connected"};
    ASSERT_GE(marks.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(marks.begin(), marks.begin() + expected.size()), expected);
}

} // namespace
} // namespace bm
