// The replay's script: one recording, runs of requests played against it
// strictly and loosely, and what each answers, reports or refuses.
#include "sim/replay.h"

#include <gtest/gtest.h>

#include <cmath>

namespace bm::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& text)
{
    Bytes b;
    EXPECT_TRUE(fromHex(text, b)) << text;
    return b;
}

// A greeting, a status read (with the unit's sleep a second later), a key
// whose answer is followed by the line's loss.
Capture recording()
{
    std::string text = R"({"capture":"brennmark","format":1})" "\n";
    auto tx = [&](double t, const char* h) {
        const Bytes b = hex(h);
        text += CaptureWriter::packetLine(t, true, b.data(), b.size()) + "\n";
    };
    auto rx = [&](double t, const char* h) {
        const Bytes b = hex(h);
        text += CaptureWriter::packetLine(t, false, b.data(), b.size()) + "\n";
    };
    auto mark = [&](double t, const char* kind, const char* field, const char* value) {
        text += CaptureWriter::markLine(t, kind, field, value) + "\n";
    };
    mark(0.0, "port", "state", "open");
    rx(0.0005, "55");                 // noise before anything was asked
    mark(0.0008, "op", "name", "start-up chain");
    tx(0.001, "f1031100f2");          // HOST_WAKEUP
    rx(0.010, "f104e0");              // its acknowledgement, in two reads
    rx(0.012, "0111f2");
    tx(0.020, "f1031600f2");          // GET_SYS_STATUS
    rx(0.030, "f1058102aabbf2");      // a (short) status
    rx(1.000, "f1030200f2");          // DC_SLEEP, later
    mark(1.4, "op", "name", "ir");
    tx(1.500, "f104140118f2");        // IR ON
    rx(1.510, "f104e00114f2");
    mark(1.600, "line", "state", "lost");
    Capture capture;
    CaptureError error;
    EXPECT_TRUE(parseCapture(text, capture, error)) << error.text();
    return capture;
}

struct Sent {
    const char* request;
    double at;
};

struct Case {
    const char* name;
    bool loose;
    std::vector<Sent> requests;
    // What the replay did: "+MS:hex" or "+MS:hangup", offsets from the request.
    std::vector<std::string> actions;
    const char* refused;  // part of the difference when a request is refused; "" when none is
    const char* atFinish; // part of finish()'s difference; "" when none
};

std::string describe(const ReplayAction& a, double from)
{
    const long ms = std::lround((a.at - from) * 1000);
    return "+" + std::to_string(ms) + ":" + (a.hangUp ? std::string("hangup") : toHex(a.bytes.data(), a.bytes.size()));
}

TEST(ReplayEngine, PlaysTheRecordingStrictlyAndLoosely)
{
    const Case cases[] = {
        {"strict, as recorded", false,
         {{"f1031100f2", 10}, {"f1031600f2", 11}, {"f104140118f2", 20}},
         {"+9:f104e0", "+11:0111f2", "+10:f1058102aabbf2", "+980:f1030200f2", "+10:f104e00114f2", "+100:hangup"},
         "", ""},
        {"strict, a request changed", false,
         {{"f1031100f2", 10}, {"f1031700f2", 11}},
         {"+9:f104e0", "+11:0111f2"},
         "request 2 differs: sent f1031700f2, recorded f1031600f2 (operation \"start-up chain\", line 8)", ""},
        {"strict, the program stops early", false,
         {{"f1031100f2", 10}, {"f1031600f2", 11}},
         {"+9:f104e0", "+11:0111f2", "+10:f1058102aabbf2", "+980:f1030200f2"},
         "", "request 3 was never sent (recorded f104140118f2, operation \"ir\", line 12)"},
        {"strict, a request beyond the recording", false,
         {{"f1031100f2", 10}, {"f1031600f2", 11}, {"f104140118f2", 20}, {"f1031600f2", 30}},
         {"+9:f104e0", "+11:0111f2", "+10:f1058102aabbf2", "+980:f1030200f2", "+10:f104e00114f2", "+100:hangup"},
         "request 4 (f1031600f2) is beyond the recording's 3", ""},
        {"loose, another order", true,
         {{"f104140118f2", 5}, {"f1031100f2", 10}, {"f1031600f2", 11}},
         {"+10:f104e00114f2", "+100:hangup", "+9:f104e0", "+11:0111f2", "+10:f1058102aabbf2", "+980:f1030200f2"},
         "", ""},
        {"loose, asked twice: the last answer again", true,
         {{"f1031600f2", 1}, {"f1031600f2", 2}},
         {"+10:f1058102aabbf2", "+980:f1030200f2", "+10:f1058102aabbf2", "+980:f1030200f2"},
         "", ""},
        {"loose, same code, other data", true,
         {{"f104140119f2", 1}},
         {"+10:f104e00114f2", "+100:hangup"},
         "", ""},
        {"loose, a code never recorded goes unanswered", true,
         {{"f1042105f2", 1}, {"f1031100f2", 2}},
         {"+9:f104e0", "+11:0111f2"},
         "", ""},
        {"loose, a key asked again does not hang up again", true,
         {{"f104140118f2", 1}, {"f104140118f2", 2}},
         {"+10:f104e00114f2", "+100:hangup", "+10:f104e00114f2"},
         "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplayEngine engine(recording(), c.loose);
        const auto prelude = engine.start(0);
        ASSERT_EQ(prelude.size(), 1u);
        EXPECT_EQ(describe(prelude[0], 0), "+1:55");
        std::vector<std::string> did;
        std::string refused;
        for (const Sent& s : c.requests) {
            std::vector<ReplayAction> actions;
            const bool ok = engine.request(hex(s.request), s.at, actions);
            for (const auto& a : actions)
                did.push_back(describe(a, s.at));
            if (!ok) {
                refused = engine.difference();
                break;
            }
        }
        EXPECT_EQ(did, c.actions);
        if (*c.refused) {
            EXPECT_NE(refused.find(c.refused), std::string::npos) << refused;
        } else {
            EXPECT_EQ(refused, "");
        }
        const std::string end = engine.finish();
        if (*c.atFinish) {
            EXPECT_NE(end.find(c.atFinish), std::string::npos) << end;
        } else if (!*c.refused) {
            EXPECT_EQ(end, "");
        }
    }
}

TEST(ReplayEngine, LooseReplayListsWhatItCouldNotAnswer)
{
    ReplayEngine engine(recording(), true);
    engine.start(0);
    std::vector<ReplayAction> actions;
    EXPECT_TRUE(engine.request(hex("f1042105f2"), 1, actions));
    EXPECT_TRUE(engine.request(hex("f1032b00f2"), 2, actions));
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(engine.unanswered(), (Bytes{0x21, 0x2B}));
    EXPECT_EQ(engine.finish(), "");
}

} // namespace
} // namespace bm::sim
