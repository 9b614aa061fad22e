// Captures: the writer's lines read back by the parser, malformed captures
// refused with their line number, names masked across chunk boundaries, the
// packet framer, and gzip files whole and cut short.
#include "link/capture_file.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace bm {
namespace {

const char* const kHeader =
    R"({"capture":"brennmark","format":1,"version":"1.02","product":"DE-1","rom":"99/03/09 18:34","port":"/dev/pts/4"})";

std::string withHeader(const std::string& body)
{
    return std::string(kHeader) + "\n" + body;
}

struct Malformed {
    const char* name;
    std::string text;
    int line; // the line the error names
    const char* says; // part of the message
};

TEST(CaptureParse, RefusesMalformedCapturesNamingTheLine)
{
    const Malformed cases[] = {
        {"empty", "", 1, "header"},
        {"not a header", R"({"t":0,"dir":"tx","hex":"f1"})" "\n", 1, "header"},
        {"other format", R"({"capture":"brennmark","format":9})" "\n", 1, "format 9"},
        {"not json", withHeader("{\"t\":0,\"dir\":\"tx\",\"hex\":\"f1\"}\nnot json\n"), 3, "JSON"},
        {"unterminated string", withHeader("{\"t\":0,\"dir\":\"tx\",\"hex\":\"f1}\n"), 2, "JSON"},
        {"odd hex", withHeader("{\"t\":0,\"dir\":\"rx\",\"hex\":\"f1e\"}\n"), 2, "hex"},
        {"bad hex digit", withHeader("{\"t\":0,\"dir\":\"rx\",\"hex\":\"f1zz\"}\n"), 2, "hex"},
        {"empty hex", withHeader("{\"t\":0,\"dir\":\"rx\",\"hex\":\"\"}\n"), 2, "hex"},
        {"no time", withHeader("{\"dir\":\"rx\",\"hex\":\"f1\"}\n"), 2, "\"t\""},
        {"negative time", withHeader("{\"t\":-1,\"dir\":\"rx\",\"hex\":\"f1\"}\n"), 2, "\"t\""},
        {"unknown direction", withHeader("{\"t\":0,\"dir\":\"up\",\"hex\":\"f1\"}\n"), 2, "dir"},
        {"neither packet nor mark", withHeader("{\"t\":0}\n"), 2, "neither"},
        {"out of order", withHeader("{\"t\":0.5,\"dir\":\"tx\",\"hex\":\"f1\"}\n\n{\"t\":0.4,\"dir\":\"rx\",\"hex\":\"f2\"}\n"),
         4, "before"},
        {"trailing text", withHeader("{\"t\":0,\"dir\":\"tx\",\"hex\":\"f1\"} x\n"), 2, "JSON"},
        {"deep nesting", withHeader("{\"t\":0,\"x\":" + std::string(5000, '[') + "\n"), 2, "JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Capture capture;
        CaptureError error;
        EXPECT_FALSE(parseCapture(c.text, capture, error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.text().find(c.says), std::string::npos) << error.text();
    }
}

TEST(CaptureParse, WriterLinesReadBackAsWritten)
{
    CaptureHeader header;
    header.version = "1.02";
    header.product = "ZA-2";
    header.rom = "99/03/09 18:34";
    header.port = "/dev/ttyUSB0";
    header.command = "set volume \"-20\"";
    header.timing = {{"WritePacketAckWaitCount", 10}, {"WritePacketDoCharDelay", 1}};
    const std::uint8_t request[] = {0xF1, 0x03, 0x16, 0x00, 0xF2};
    const std::uint8_t noise[] = {0x00, 0x55, 0xF1};
    std::string text = CaptureWriter::headerLine(header) + "\n";
    text += CaptureWriter::markLine(0.0, "line", "state", "connected") + "\n";
    text += CaptureWriter::markLine(0.001, "op", "name", "status \"read\"\\") + "\n";
    text += CaptureWriter::packetLine(0.0015, true, request, sizeof request) + "\n";
    text += CaptureWriter::packetLine(0.25, false, noise, sizeof noise) + "\n";

    Capture capture;
    CaptureError error;
    ASSERT_TRUE(parseCapture(text, capture, error)) << error.text();
    EXPECT_EQ(capture.format, kCaptureFormat);
    EXPECT_EQ(capture.header["product"], "ZA-2");
    EXPECT_EQ(capture.header["rom"], "99/03/09 18:34");
    EXPECT_EQ(capture.header["port"], "/dev/ttyUSB0");
    EXPECT_EQ(capture.header["command"], "set volume \"-20\"");
    ASSERT_EQ(capture.events.size(), 4u);
    EXPECT_EQ(capture.events[0].kind, CaptureEvent::Kind::Mark);
    EXPECT_EQ(capture.events[0].value, "connected");
    EXPECT_EQ(capture.events[1].value, "status \"read\"\\");
    EXPECT_EQ(capture.events[2].kind, CaptureEvent::Kind::Tx);
    EXPECT_EQ(capture.events[2].bytes, std::vector<std::uint8_t>(request, request + sizeof request));
    EXPECT_DOUBLE_EQ(capture.events[2].t, 0.0015);
    EXPECT_EQ(capture.events[3].kind, CaptureEvent::Kind::Rx);
    EXPECT_EQ(capture.events[3].bytes, std::vector<std::uint8_t>(noise, noise + sizeof noise));
    EXPECT_EQ(capture.events[3].lineNumber, 5);
}

// Name packets masked wherever the reads split them; everything else kept.
TEST(NameRedactor, MasksNamesWhateverTheChunks)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> in;
        std::vector<std::uint8_t> out;
    };
    const Case cases[] = {
        {"custom name answer", {0xF1, 0x07, 0x89, 0x04, 'D', 'e', 'n', 0x00, 0xF2},
         {0xF1, 0x07, 0x89, 0x04, 'x', 'x', 'x', 0x00, 0xF2}},
        {"input name keeps its index", {0xF1, 0x07, 0x8A, 0x04, 0x03, 'S', ' ', 'T', 0xF2},
         {0xF1, 0x07, 0x8A, 0x04, 0x03, 'x', ' ', 'x', 0xF2}},
        {"set custom name keeps its flag", {0xF1, 0x06, 0x2C, 0x03, 0x01, 'A', 'B', 0xF2},
         {0xF1, 0x06, 0x2C, 0x03, 0x01, 'x', 'x', 0xF2}},
        {"other packets and noise untouched", {0x55, 0xF1, 0x05, 0x21, 0x02, 'A', 'B', 0xF2, 0x41},
         {0x55, 0xF1, 0x05, 0x21, 0x02, 'A', 'B', 0xF2, 0x41}},
        {"two packets", {0xF1, 0x04, 0x03, 0x01, 'Q', 0xF2, 0xF1, 0x04, 0x89, 0x01, 'R', 0xF2},
         {0xF1, 0x04, 0x03, 0x01, 'x', 0xF2, 0xF1, 0x04, 0x89, 0x01, 'x', 0xF2}},
        {"a name byte that looks like a start", {0xF1, 0x05, 0x89, 0x02, 0xF1, 'a', 0xF2},
         {0xF1, 0x05, 0x89, 0x02, 'x', 'x', 0xF2}},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk = 1; chunk <= c.in.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
            NameRedactor redactor;
            std::vector<std::uint8_t> bytes = c.in;
            for (std::size_t at = 0; at < bytes.size(); at += chunk)
                redactor.apply(bytes.data() + at, std::min(chunk, bytes.size() - at));
            EXPECT_EQ(bytes, c.out);
        }
    }
}

TEST(PacketFramer, SplitsStreamsIntoPackets)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> in;
        std::vector<std::vector<std::uint8_t>> packets;
        bool partial;
    };
    const Case cases[] = {
        {"one", {0xF1, 0x03, 0x16, 0x00, 0xF2}, {{0xF1, 0x03, 0x16, 0x00, 0xF2}}, false},
        {"noise around", {0x00, 0xF1, 0x03, 0x11, 0x00, 0xF2, 0x55}, {{0xF1, 0x03, 0x11, 0x00, 0xF2}}, false},
        {"bad end skipped", {0xF1, 0x03, 0x11, 0x00, 0x00, 0xF1, 0x03, 0x12, 0x00, 0xF2},
         {{0xF1, 0x03, 0x12, 0x00, 0xF2}}, false},
        {"count disagrees with length", {0xF1, 0x05, 0x11, 0x00, 0xF2}, {}, false},
        {"cut short", {0xF1, 0x04, 0x14}, {}, true},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk = 1; chunk <= c.in.size(); ++chunk) {
            SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
            PacketFramer framer;
            std::vector<std::vector<std::uint8_t>> got;
            for (std::size_t at = 0; at < c.in.size(); at += chunk) {
                auto some = framer.feed(c.in.data() + at, std::min(chunk, c.in.size() - at));
                got.insert(got.end(), some.begin(), some.end());
            }
            EXPECT_EQ(got, c.packets);
            EXPECT_EQ(framer.partial(), c.partial);
        }
    }
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The writer's file, plain or gzip, reads back; a gzip file cut short is
// refused with the line the damage reached, and a redacted capture hides the
// port and the names.
TEST(CaptureFile, WrittenFilesReadBackAndCutGzipIsRefused)
{
    const auto folder = std::filesystem::temp_directory_path() / ("bm-capture-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    const std::uint8_t name[] = {0xF1, 0x07, 0x89, 0x04, 'D', 'e', 'n', 0x00, 0xF2};
    for (const bool gz : {false, true}) {
        if (gz && !captureGzipAvailable())
            continue;
        for (const bool redact : {false, true}) {
            SCOPED_TRACE(std::string(gz ? "gzip" : "plain") + (redact ? ", redacted" : ""));
            const std::string path = (folder / (std::string("c.jsonl") + (gz ? ".gz" : ""))).string();
            CaptureWriter writer;
            std::string openError;
            ASSERT_TRUE(writer.open(path, openError)) << openError;
            writer.setRedact(redact);
            CaptureHeader header;
            header.port = "/dev/serial/by-id/usb-den";
            writer.header(header);
            writer.mark("line", "state", "connected");
            for (int i = 0; i < 200; ++i)
                writer.packet(i % 2 == 0, name, sizeof name);
            writer.close();

            Capture capture;
            CaptureError error;
            ASSERT_TRUE(readCaptureFile(path, capture, error)) << error.text();
            ASSERT_EQ(capture.events.size(), 201u);
            EXPECT_EQ(capture.header["port"], redact ? "(redacted)" : "/dev/serial/by-id/usb-den");
            EXPECT_EQ(capture.header["redacted"], redact ? "true" : "false");
            EXPECT_EQ(capture.events[1].bytes[4], redact ? 'x' : 'D');
            for (std::size_t i = 1; i < capture.events.size(); ++i)
                EXPECT_GE(capture.events[i].t, capture.events[i - 1].t);

            if (!gz)
                continue;
            const std::string whole = readAll(path);
            const std::string cut = whole.substr(0, whole.size() / 2);
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out << cut;
            }
            Capture partial;
            CaptureError cutError;
            EXPECT_FALSE(readCaptureFile(path, partial, cutError));
            EXPECT_GT(cutError.line, 1);
            EXPECT_LT(cutError.line, 202);
            EXPECT_NE(cutError.text().find("ends early"), std::string::npos) << cutError.text();
        }
    }
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace bm
