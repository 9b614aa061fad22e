// brennmarkd --mqtt as a user runs it: the program against ridaziv-sim on a
// pseudo-terminal (its console on a pipe) and a real broker. A command from the
// broker reaches the unit, a change on the unit's console reaches the state
// topic, and availability follows the unit being killed and coming back.
#include "tests/service/mqtt_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace bm::test {
namespace {

// A program run as a child, its standard input on a pipe, its output in a file.
class Child {
public:
    Child(std::vector<std::string> argv, const std::string& output, std::vector<std::string> env = {})
    {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // not left behind by a test that is killed
            ::dup2(in[0], 0);
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            for (const std::string& e : env)
                ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (std::string& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        input_ = in[1];
    }
    ~Child() { stop(SIGTERM); }
    bool say(const std::string& line) { return ::write(input_, (line + "\n").data(), line.size() + 1) > 0; }
    int stop(int signal)
    {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        ::close(input_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

TEST(MqttServiceTest, TheServiceFollowsTheUnitOnTheBroker)
{
    Broker broker;
    ASSERT_TRUE(broker.start());
    const std::string dir = broker.folder();
    const std::string link = dir + "/unit";
    auto unit = std::make_unique<Child>(std::vector<std::string>{BM_SIM_PATH, "--fast", "--link", link},
                                        dir + "/sim.log");
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(link); }, 5000));
    Watcher ha(broker.port());
    Child service({BM_SERVICE_PATH, "--port", link, "--socket", dir + "/s.sock", "--mqtt",
                   "mqtt://127.0.0.1:" + std::to_string(broker.port()), "--mqtt-id", "den"},
                  dir + "/service.log", {"XDG_CONFIG_HOME=" + dir + "/config", "HOME=" + dir});
    const std::string base = "brennmark/den/";
    ASSERT_TRUE(waitUntil([&] { return ha.last(base + "availability") == "online"; }, 60000));

    // One device, from the controls table: the volume as a number in dB.
    const auto device = nlohmann::json::parse(ha.last("homeassistant/device/den/config"), nullptr, false);
    ASSERT_TRUE(device.is_object());
    const auto& volume = device["cmps"]["volume"];
    EXPECT_EQ(volume.value("min", 0.0), -80.0);
    EXPECT_EQ(volume.value("max", 0.0), 12.0);
    EXPECT_EQ(device["dev"].value("model", ""), "DE-1");
    EXPECT_EQ(ha.last(base + "state/volume"), "-35");

    // From the broker to the unit, and a bad value that sends nothing.
    ASSERT_TRUE(ha.publish(base + "set/volume", "loud"));
    ASSERT_TRUE(ha.publish(base + "set/volume", "-20"));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/volume") == "-20"; }, 5000));
    ASSERT_TRUE(ha.publish(base + "set/mute", "on"));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/mute") == "on"; }, 5000));

    // From the unit's own front panel to the state topics.
    ASSERT_TRUE(unit->say("set VOLUME 61"));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/volume") == "-19"; }, 5000));
    ASSERT_TRUE(unit->say("ir EFFECT_DTS"));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/effect") == "DTS"; }, 5000)) << ha.last(base + "state/effect");
    ASSERT_TRUE(unit->say("display \"HELLO\" \"WORLD\""));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/display-2") == "WORLD"; }, 5000));

    // The unit killed: no unit; back (with its own settings again): online, and its values.
    unit->stop(SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "availability") == "no-unit"; }, 10000));
    EXPECT_EQ(ha.last(base + "state/line"), "lost");
    std::filesystem::remove(link);
    unit = std::make_unique<Child>(std::vector<std::string>{BM_SIM_PATH, "--fast", "--link", link}, dir + "/sim.log");
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "availability") == "online"; }, 30000));
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "state/volume") == "-35"; }, 5000));

    // Stopped: offline, and the unit got its goodbye.
    EXPECT_EQ(service.stop(SIGTERM), 0);
    EXPECT_TRUE(waitUntil([&] { return ha.last(base + "availability") == "offline"; }, 5000));
    std::ifstream file(dir + "/service.log");
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("mqtt: set volume loud refused, nothing sent"), std::string::npos) << log;
    EXPECT_NE(log.find("unit: goodbye sent"), std::string::npos) << log;
}

} // namespace
} // namespace bm::test
