// brennmark-cli diagnostics: the bundle holds the capture, the versions, the
// settings and the log, and none of the secrets around it, nor the unit's names.
#include "cli_rig.h"

#include "link/capture_file.h"

#include <sys/stat.h>

namespace bm::test {
namespace {

class Diagnostics : public CliTest {};

std::string gunzipped(const std::string& path)
{
    const Bytes bytes = readFile(path);
    std::string text, error;
    EXPECT_TRUE(gunzip(std::string(bytes.begin(), bytes.end()), text, error)) << error;
    return text;
}

TEST_F(Diagnostics, TheBundleLeavesTheSecretsOut)
{
    startUnit();
    const std::string credentials = folder.file("mqtt-credentials");
    {
        std::ofstream out(credentials);
        out << "house\nhunter2-mqtt-password\n";
    }
    ::chmod(credentials.c_str(), 0600);
    const std::vector<std::string> env = {
        "BRENNMARK_MQTT=mqtt://127.0.0.1:1883",
        "BRENNMARK_MQTT_CREDENTIALS=" + credentials,
        "BRENNMARK_MQTT_PASSWORD=hunter2-mqtt-password",
        "BRENNMARK_TOKEN=tok-3f9a-secret",
    };
    struct Case {
        const char* name;
        bool unit;
        const char* says; // in versions.txt
    };
    const Case cases[] = {
        {"a unit that answers", true, "status read: done"},
        {"no unit", false, "status read: cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bundle = folder.file("report.tar.gz");
        std::vector<std::string> argv{BM_CLI_PATH, "--port", c.unit ? folder.file("unit") : folder.file("nothing"),
                                      "diagnostics", bundle};
        Process p(argv, folder.file("config"), folder.file("out.txt"), folder.file("err.txt"), env);
        ASSERT_EQ(p.wait(), 0) << p.err();
        const std::string tar = gunzipped(bundle);
        for (const char* member : {"capture.jsonl", "versions.txt", "settings.txt", "service-log.txt"})
            EXPECT_NE(tar.find(member), std::string::npos) << member;
        EXPECT_NE(tar.find(c.says), std::string::npos);
        EXPECT_NE(tar.find("BRENNMARK_MQTT=mqtt://127.0.0.1:1883"), std::string::npos);
        EXPECT_NE(tar.find("BRENNMARK_TOKEN=(left out)"), std::string::npos);
        for (const std::string& secret : std::vector<std::string>{"hunter2-mqtt-password", "tok-3f9a-secret", credentials,
                                         folder.file("unit")})
            EXPECT_EQ(tar.find(secret), std::string::npos) << secret;
        if (c.unit) {
            EXPECT_NE(tar.find("\"dir\":\"rx\""), std::string::npos);
            // The unit's custom name, "Screening Room", as it would show in hex.
            const std::string name = "Screening";
            EXPECT_EQ(tar.find(toHex(reinterpret_cast<const std::uint8_t*>(name.data()), name.size())),
                      std::string::npos);
        }
    }
}

} // namespace
} // namespace bm::test
