// Runs both fuzz harnesses over every file of the committed seed corpus, so
// that the ordinary test run keeps the harnesses and the seeds honest.
#include "harnesses.h"
#include "link/capture_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bm::fuzz {
namespace {

struct Seed {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

std::vector<Seed> seeds(const char* area)
{
    std::vector<Seed> out;
    const std::filesystem::path folder = std::filesystem::path(BM_FUZZ_CORPUS) / area;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.push_back({entry.path().filename().string(),
                       std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {})});
    }
    std::sort(out.begin(), out.end(), [](const Seed& a, const Seed& b) { return a.name < b.name; });
    return out;
}

// Seeds named "ok-..." are whole restores that must succeed; the others must
// fail. Either way the harness checks its own properties as it goes.
TEST(FuzzReplay, RestoreCorpus)
{
    const std::vector<Seed> all = seeds("restore");
    ASSERT_GE(all.size(), 5u);
    for (const Seed& seed : all) {
        SCOPED_TRACE(seed.name);
        const RestoreRun run = runRestoreInput(seed.bytes.data(), seed.bytes.size());
        EXPECT_TRUE(run.ran);
        EXPECT_EQ(run.restored, seed.name.rfind("ok-", 0) == 0);
    }
}

TEST(FuzzReplay, ReceiverCorpus)
{
    const std::vector<Seed> all = seeds("receiver");
    ASSERT_GE(all.size(), 5u);
    for (const Seed& seed : all) {
        SCOPED_TRACE(seed.name);
        const ReceiverRun run = runReceiverInput(seed.bytes.data(), seed.bytes.size());
        EXPECT_GT(run.packetsTaken, 0u) << "every seed carries at least one packet";
        if (seed.name.rfind("capture-", 0) == 0)
            EXPECT_GT(run.captured, 0u);
        else
            EXPECT_EQ(run.captured, 0u);
    }
}

// Seeds named "ok-..." are captures that are read (and replay against their
// own requests); the others are refused.
TEST(FuzzReplay, CaptureCorpus)
{
    const std::vector<Seed> all = seeds("capture");
    ASSERT_GE(all.size(), 5u);
    for (const Seed& seed : all) {
        SCOPED_TRACE(seed.name);
        const CaptureRun run = runCaptureInput(seed.bytes.data(), seed.bytes.size());
        // A gzip seed is read only where the build has zlib (not on Windows).
        const bool gzip = seed.bytes.size() >= 2 && seed.bytes[0] == 0x1f && seed.bytes[1] == 0x8b;
        EXPECT_EQ(run.read, seed.name.rfind("ok-", 0) == 0 && (!gzip || captureGzipAvailable()));
        if (run.read) {
            EXPECT_GT(run.requests, 0u);
        }
    }
}

// Seeds named "ok-..." are requests; the others typed errors.
TEST(FuzzReplay, ApiCorpus)
{
    const std::vector<Seed> all = seeds("api");
    ASSERT_GE(all.size(), 5u);
    for (const Seed& seed : all) {
        SCOPED_TRACE(seed.name);
        EXPECT_EQ(runApiInput(seed.bytes.data(), seed.bytes.size()).request, seed.name.rfind("ok-", 0) == 0);
    }
}

} // namespace
} // namespace bm::fuzz
