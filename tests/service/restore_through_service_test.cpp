// brennmark-cli's restore through the service is one operation on the line:
// another client setting the volume meanwhile waits for it, and a refused
// restore names its cause as on the unit's own port.
#include "tests/service/cli_run.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bm::test {
namespace {

TEST(RestoreThroughService, OneOperationWhileAnotherClientSetsAndARefusalNamesItsCause)
{
    struct Row {
        const char* name;
        std::vector<std::string> only; // --only, or nothing for the whole file
        int nak;                       // the command the unit refuses, or -1
        int status;
        std::string out;               // what standard output must hold
        std::string err;               // what standard error must hold
    };
    const std::vector<Row> rows = {
        {"whole file", {}, -1, 0, "restored {file}\n", ""},
        {"only the tone group", {"--only", "tone"}, -1, 0, "value(s) from {file}\n", ""},
        {"the unit refuses the parameters", {}, 0x1E, 2, "", "Failed to restore configuration! "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceRig rig;
        sim::SimOptions options = ServiceRig::strictFast();
        ASSERT_TRUE(rig.start(options));
        const std::string port = "unix:" + rig.socketPath();
        char dir[] = "/tmp/bm-restore-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        const std::string file = std::string(dir) + "/unit.lex";
        ASSERT_EQ(runCli({"--port", port, "set", "bass", "+1.5", "treble", "-2"}).status, 0);
        ASSERT_EQ(runCli({"--port", port, "save", file}).status, 0);
        const std::string saved = runCli({"--port", port, "get", "bass", "treble"}).out;
        ASSERT_EQ(runCli({"--port", port, "set", "bass", "0", "treble", "0"}).status, 0);
        if (row.nak >= 0)
            rig.sim->setNakCommand(row.nak);

        // Another client sets the volume as fast as the service answers.
        std::atomic<bool> stop{false};
        std::atomic<int> sets{0};
        std::thread other([&] {
            RawClient json(rig.socketPath());
            for (int v = 0; !stop; v = 1 - v) {
                json.send(std::string(R"({"op":"set","values":{"volume":)") + (v ? "-30" : "-31") + "}}\n");
                if (json.line(10000))
                    ++sets;
            }
        });
        while (sets < 2)
            std::this_thread::yield();
        std::vector<std::string> args = {"--port", port, "restore", file};
        args.insert(args.end(), row.only.begin(), row.only.end());
        CliRun r = runCli(args);
        stop = true;
        other.join();
        rig.sim->setNakCommand(-1);

        for (std::string* text : {&r.out, &r.err})
            for (std::size_t at; (at = text->find(file)) != std::string::npos;)
                text->replace(at, file.size(), "{file}");
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Timeout"), std::string::npos) << r.err;
        if (row.status == 0) {
            const CliRun tone = runCli({"--port", port, "get", "bass", "treble"});
            EXPECT_EQ(tone.out, saved);
        } else {
            // The cause after the words every refusal starts with.
            const auto at = r.err.find("Failed to restore configuration! ");
            ASSERT_NE(at, std::string::npos);
            EXPECT_GT(r.err.size(), at + 34) << "no cause: " << r.err;
        }
        std::system((std::string("rm -rf '") + dir + "'").c_str());
    }
}

} // namespace
} // namespace bm::test
