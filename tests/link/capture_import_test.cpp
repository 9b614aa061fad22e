// Captures of other tools: short samples of each turned into captures, read
// back and compared packet by packet; texts that are none of them refused.
#include "link/capture_file.h"
#include "link/capture_import.h"

#include <gtest/gtest.h>

#include <cmath>

namespace bm {
namespace {

struct Sample {
    const char* name;
    ImportFormat format;
    std::string text;
    // "tx:hex@ms" for each packet line, in order.
    std::vector<std::string> packets;
};

TEST(CaptureImport, SamplesOfEachToolBecomeCaptures)
{
    const Sample samples[] = {
        {"socat -x", ImportFormat::Socat,
         "> 2026/12/08 16:30:00.100000  length=5 from=0 to=4\n"
         " f1 03 16 00 f2 \n"
         "--\n"
         "< 2026/12/08 16:30:00.112500  length=6 from=0 to=5\n"
         " f1 04 e0 01 16 f2 \n"
         "--\n",
         {"tx:f1031600f2@0", "rx:f104e00116f2@12.5"}},
        {"socat -x -v, with its text column, a request in two writes", ImportFormat::Socat,
         "> 2026/12/08 16:30:00.000000  length=3 from=0 to=2\n"
         " f1 03 11  ...\n"
         "--\n"
         "> 2026/12/08 16:30:00.250000  length=2 from=3 to=4\n"
         " 00 f2                                            ..\n"
         "--\n"
         "< 2026/12/08 16:30:01.000000  length=20 from=0 to=19\n"
         " f1 11 03 0e 44 56 44 20 20 20 20 20 20 20 20 20  ....DVD         \n"
         " 20 20 00 f2                                      ....\n"
         "--\n",
         {"tx:f10311@0", "tx:00f2@250", "rx:f111030e445644202020202020202020202000f2@1000"}},
        {"Sent/Recv with times", ImportFormat::SentRecv,
         "[12:00:01.250] Sent: F1 03 16 00 F2\n"
         "[12:00:01.262] Recv: F1 04 E0 01 16 F2\n"
         "12:00:02.000 Recv: 0xF1,0x03,0x02,0x00,0xF2\n",
         {"tx:f1031600f2@0", "rx:f104e00116f2@12", "rx:f1030200f2@750"}},
        {"Sent/Recv without times, bytes run together", ImportFormat::SentRecv,
         "Sent: f1031100f2\n"
         "\n"
         "Recv: f104e00111f2\n",
         {"tx:f1031100f2@0", "rx:f104e00111f2@10"}},
        {"jpnevulator", ImportFormat::Jpnevulator,
         "2026-12-08 16:30:00.500000: /dev/ttyUSB0\n"
         "F1 03 16 00 F2\n"
         "2026-12-08 16:30:00.515000: /dev/ttyUSB1\n"
         "F1 04 E0 01\n"
         "2026-12-08 16:30:00.516000: /dev/ttyUSB1\n"
         "16 F2\n",
         {"tx:f1031600f2@0", "rx:f104e001@15", "rx:16f2@16"}},
    };
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        std::vector<std::string> expected;
        for (std::string p : s.packets) {
            p.erase(std::remove(p.begin(), p.end(), ' '), p.end());
            expected.push_back(p);
        }
        EXPECT_EQ(detectImportFormat(s.text), s.format);
        std::string text, error;
        ASSERT_TRUE(importCapture(s.text, text, error)) << error;
        Capture capture;
        CaptureError parseError;
        ASSERT_TRUE(parseCapture(text, capture, parseError)) << parseError.text() << "\n" << text;
        std::vector<std::string> got;
        for (const CaptureEvent& e : capture.events) {
            if (e.kind == CaptureEvent::Kind::Mark)
                continue;
            char ms[32];
            std::snprintf(ms, sizeof ms, "%g", std::round(e.t * 10000) / 10);
            got.push_back(std::string(e.kind == CaptureEvent::Kind::Tx ? "tx:" : "rx:") +
                          toHex(e.bytes.data(), e.bytes.size()) + "@" + ms);
        }
        EXPECT_EQ(got, expected);
    }
}

TEST(CaptureImport, TextsOfNoKnownToolAreRefusedWithTheirLine)
{
    struct Bad {
        const char* name;
        std::string text;
        const char* says;
    };
    const Bad bad[] = {
        {"nothing known", "hello\nworld\n", "not a capture"},
        {"a capture already", "{\"capture\":\"brennmark\",\"format\":1}\n", "not a capture"},
        {"Sent with a bad byte", "Sent: F1 03 G6\n", "line 1"},
        {"socat with too few bytes", "> 2026/12/08 16:30:00.100000  length=5 from=0 to=4\n f1 03\n--\n", "line 1"},
        {"jpnevulator without a device line first", "F1 03 16 00 F2\n2026-12-08 16:30:00.5: /dev/ttyS0\n",
         "not a capture"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        std::string text, error;
        EXPECT_FALSE(importCapture(b.text, text, error));
        EXPECT_NE(error.find(b.says), std::string::npos) << error;
    }
}

} // namespace
} // namespace bm
