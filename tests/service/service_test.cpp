// brennmarkd against the simulated unit over a pseudo-terminal: two frame
// clients sharing the line, the JSON API, bad input, the bounds on a client,
// and the unit's strict count of requests sent while an answer was due.
#include "tests/service/service_rig.h"

#include "platform/service_socket.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

extern char** environ;

namespace bm::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Codes = std::vector<std::uint8_t>;

bool has(const Codes& codes, std::uint8_t code)
{
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

int openDescriptors()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

Json reply(RawClient& c, const std::string& request, int ms = 5000)
{
    c.send(request + "\n");
    const auto line = c.line(ms);
    return line ? Json::parse(*line, nullptr, false) : Json();
}

bool waitFor0(ServiceRig& rig)
{
    for (int i = 0; i < 500; ++i) {
        if (rig.service->clientCount() == 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Two frame clients and the unit's front panel at once: who gets what, and
// what reaches the unit.
TEST(ServiceHub, RoutesAnswersToTheAskerAndTheUnitsMessagesToEveryone)
{
    const Bytes goodbye = joined({frame(DC_CMD_SET_FPD_CTRL, {0, 0, 0, 0x32}), frame(HOST_SLEEP)});
    const struct {
        const char* name;
        Bytes a, b;             // sent by clients A and B at the same moment
        bool aLeaves;           // A closes at once after sending
        const char* console;    // then the unit's front panel acts ("" none)
        Codes aGets, aNever, bGets, bNever;
        Codes unitGets, unitNever;
    } cases[] = {
        {"request / request", frame(DC_CMD_GET_EFFECT_PARAM_VALUES, {0}), frame(DC_CMD_SET_SYS_VOLUME, {50}), false,
         "", {DC_RESP_EFFECT_PARAM_VALUES}, {DC_ACK}, {DC_ACK}, {DC_RESP_EFFECT_PARAM_VALUES},
         {DC_CMD_GET_EFFECT_PARAM_VALUES, DC_CMD_SET_SYS_VOLUME}, {}},
        {"request / unsolicited change", frame(DC_CMD_GET_EFFECT_PARAM_VALUES, {1}), {}, false, "set VOLUME 60",
         {DC_RESP_EFFECT_PARAM_VALUES, DC_PARAM_CHG_MSG}, {}, {DC_PARAM_CHG_MSG}, {DC_RESP_EFFECT_PARAM_VALUES},
         {DC_CMD_GET_EFFECT_PARAM_VALUES}, {}},
        {"goodbye of one while the other works", goodbye, frame(DC_CMD_GET_EFFECT_PARAM_VALUES, {0}), false,
         "set VOLUME 61", {DC_ACK}, {DC_PARAM_CHG_MSG, DC_RESP_EFFECT_PARAM_VALUES},
         {DC_RESP_EFFECT_PARAM_VALUES, DC_PARAM_CHG_MSG}, {DC_ACK},
         {DC_CMD_GET_EFFECT_PARAM_VALUES}, {HOST_SLEEP, DC_CMD_SET_FPD_CTRL}},
        {"greeting, definitions and configuration answered by the service",
         joined({frame(HOST_WAKEUP), frame(DC_CMD_GET_SYS_PARAM_BY_ID, {1}), frame(DC_CMD_GET_EFFECT, {0}),
                 frame(DC_CMD_GET_CONFIG)}),
         frame(DC_CMD_GET_EFFECT_PARAM_VALUES, {0}), false, "",
         {DC_ACK, DC_RESP_SYS_PARAM_DEF, DC_RESP_EFFECT_DEF, DC_RESP_UNIT_CONFIG}, {DC_RESP_EFFECT_PARAM_VALUES},
         {DC_RESP_EFFECT_PARAM_VALUES}, {DC_RESP_UNIT_CONFIG},
         {DC_CMD_GET_EFFECT_PARAM_VALUES}, {HOST_WAKEUP, DC_CMD_GET_SYS_PARAM_BY_ID, DC_CMD_GET_EFFECT, DC_CMD_GET_CONFIG}},
        {"front-panel reports switched on: the display as the unit last showed it",
         frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8}), {}, false, "", {DC_ACK, DC_FPD}, {}, {}, {}, {},
         {DC_CMD_SET_FPD_CTRL}},
        {"a client that leaves mid-exchange", frame(DC_CMD_GET_SYS_PARAM_VALUES), frame(DC_CMD_SET_SYS_VOLUME, {51}),
         true, "", {}, {}, {DC_ACK}, {DC_RESP_SYS_PARAM_VALUES}, {DC_CMD_SET_SYS_VOLUME}, {}},
    };
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient a(rig.socketPath()), b(rig.socketPath());
        ASSERT_TRUE(a.connected() && b.connected());
        a.send(frame(HOST_WAKEUP)); // each greets, as a panel or brennmark-cli does
        b.send(frame(HOST_WAKEUP));
        a.codesWithin(300); // whatever an earlier case left the unit saying
        b.codesWithin(50);
        rig.sim->clearReceived();
        a.send(c.a);
        if (!c.b.empty())
            b.send(c.b);
        if (c.aLeaves)
            a.close();
        if (*c.console) {
            std::this_thread::sleep_for(100ms);
            ASSERT_TRUE(rig.sim->command(c.console));
        }
        const Codes aGot = c.aLeaves ? Codes{} : a.codesWithin(700);
        const Codes bGot = b.codesWithin(300);
        for (auto code : c.aGets)
            EXPECT_TRUE(has(aGot, code)) << "A lacks 0x" << std::hex << int(code);
        for (auto code : c.aNever)
            EXPECT_FALSE(has(aGot, code)) << "A got 0x" << std::hex << int(code);
        for (auto code : c.bGets)
            EXPECT_TRUE(has(bGot, code)) << "B lacks 0x" << std::hex << int(code);
        for (auto code : c.bNever)
            EXPECT_FALSE(has(bGot, code)) << "B got 0x" << std::hex << int(code);
        const Codes unit = rig.unitCodes();
        for (auto code : c.unitGets)
            EXPECT_TRUE(has(unit, code)) << "the unit lacks 0x" << std::hex << int(code);
        for (auto code : c.unitNever)
            EXPECT_FALSE(has(unit, code)) << "the unit got 0x" << std::hex << int(code);
    }
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

TEST(ServiceJson, HelloSubscribeAndSetThroughTheSocket)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    RawClient watcher(rig.socketPath()), setter(rig.socketPath());

    const Json hello = reply(setter, R"({"op":"hello","id":7})");
    ASSERT_TRUE(hello.is_object());
    EXPECT_EQ(hello["reply"], "hello");
    EXPECT_EQ(hello["id"], 7);
    EXPECT_EQ(hello["product"], "DE-1");
    EXPECT_EQ(hello["line"], "connected");
    // The volume in dB is the unit's VOLUME byte less 80.
    auto unitVolume = [&rig] {
        const auto snap = rig.sim->snapshot();
        const auto at = std::find(snap.paramNames.begin(), snap.paramNames.end(), "VOLUME") - snap.paramNames.begin();
        return static_cast<int>(snap.paramValues.at(static_cast<std::size_t>(at))) - 80;
    };
    const int volume = unitVolume();
    EXPECT_EQ(hello["controls"]["volume"], volume);

    EXPECT_EQ(reply(watcher, R"({"op":"subscribe"})")["reply"], "subscribe");
    const Json set = reply(setter, R"({"op":"set","values":{"volume":-30}})");
    ASSERT_EQ(set["reply"], "set") << set.dump();
    EXPECT_EQ(set["results"][0]["outcome"], "done");
    EXPECT_EQ(set["results"][0]["value"], -30);
    EXPECT_EQ(unitVolume(), -30);

    bool sawChange = false;
    while (const auto line = watcher.line(1000)) {
        const Json e = Json::parse(*line, nullptr, false);
        if (e["event"] == "change" && e["control"] == "volume" && e["value"] == -30)
            sawChange = true;
    }
    EXPECT_TRUE(sawChange);
    EXPECT_EQ(reply(setter, R"({"op":"get","controls":["volume"]})")["values"]["volume"], -30);

    // A key acts as on the remote; what it changed is read back before a get.
    EXPECT_EQ(reply(setter, R"({"op":"ir","key":"INPUT_CD"})")["outcome"], "done");
    EXPECT_EQ(reply(setter, R"({"op":"get","controls":["input"]})")["values"]["input"], "CD");
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

// Nothing of this reaches the unit: each gets its typed error, or a disconnect.
TEST(ServiceJson, BadInputGetsATypedErrorOrADisconnectAndNeverAWrite)
{
    const struct {
        const char* name;
        std::string line;
        const char* error; // the error type, "" when only a disconnect counts
        bool disconnect;
    } cases[] = {
        {"not JSON", "{nope", "not_json", false},
        {"not an object", "[1,2]", "bad_request", false},
        {"unknown op", R"({"op":"reboot"})", "unknown_op", false},
        {"op of the wrong type", R"({"op":5})", "wrong_type", false},
        {"set without values", R"({"op":"set","values":[1]})", "wrong_type", false},
        {"set with an object value", R"({"op":"set","values":{"volume":{"a":1}}})", "wrong_type", false},
        {"get with a number", R"({"op":"get","controls":[1]})", "wrong_type", false},
        {"unknown control", R"({"op":"set","values":{"loudest":1}})", "unknown_control", false},
        {"value out of range", R"({"op":"set","values":{"volume":99}})", "invalid_value", false},
        {"unknown IR key", R"({"op":"ir","key":"SELF_DESTRUCT"})", "invalid_value", false},
        {"a 10 MB line", std::string(10 * 1024 * 1024, 'x'), "too_long", true},
    };
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    std::this_thread::sleep_for(700ms); // the start-up's own re-reads are over
    rig.sim->clearReceived();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(rig.socketPath());
        ASSERT_TRUE(client.connected());
        std::thread sender([&] { client.send(c.line + "\n"); });
        const auto line = client.line(5000);
        ASSERT_TRUE(line);
        const Json e = Json::parse(*line, nullptr, false);
        EXPECT_EQ(e.value("error", ""), c.error) << *line;
        if (c.disconnect)
            EXPECT_TRUE(client.closedWithin(3000));
        client.shutdown();
        sender.join();
        client.close();
    }
    EXPECT_TRUE(rig.sim->receivedPackets().empty()) << rig.sim->receivedPackets().size() << " packets reached the unit";

    // A client that never reads is cut off once its answers pass the bound,
    // and the others are served meanwhile.
    RawClient flooder(rig.socketPath()), other(rig.socketPath());
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const std::string lines = [] {
            std::string s;
            for (int i = 0; i < 1000; ++i)
                s += "{\"op\":\"subscribe\"}\n";
            return s;
        }();
        for (int i = 0; i < 1000 && !stop; ++i)
            if (!flooder.send(lines))
                break;
    });
    EXPECT_EQ(reply(other, R"({"op":"get","controls":["volume"]})")["reply"], "get");
    bool cut = false;
    for (int i = 0; i < 100 && !cut; ++i) {
        std::this_thread::sleep_for(50ms);
        for (const auto& l : rig.logLines())
            cut = cut || l.find("not reading") != std::string::npos;
    }
    stop = true;
    flooder.shutdown();
    flood.join();
    flooder.close();
    EXPECT_TRUE(cut);
    EXPECT_TRUE(rig.sim->receivedPackets().empty());
}

TEST(ServiceJson, TcpClientsMustSendTheTokenFirst)
{
    char path[] = "/tmp/bm-token-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "s3cret\n";
    service::ServiceOptions o;
    o.listen = "127.0.0.1:0";
    o.tokenFile = path;
    ServiceRig rig;
    ASSERT_TRUE(rig.start(ServiceRig::strictFast(), o));
    const int port = rig.service->tcpPort();
    ASSERT_GT(port, 0);
    const std::string frameText = [] {
        const Bytes f = frame(HOST_WAKEUP);
        return std::string(f.begin(), f.end());
    }();
    const struct {
        const char* name;
        std::string first;
        bool accepted;
        bool thenFrames; // after the auth reply the client speaks the unit's frames
    } cases[] = {
        {"the right token", R"({"op":"auth","token":"s3cret"})", true, false},
        {"the right token, then the unit's frames", R"({"op":"auth","token":"s3cret"})", true, true},
        {"a wrong token", R"({"op":"auth","token":"s3creT"})", false, false},
        {"a request before the token", R"({"op":"hello"})", false, false},
        {"not JSON before the token", "hello", false, false},
        {"a frame before the token", frameText, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(port);
        ASSERT_TRUE(client.connected());
        const Json first = reply(client, c.first);
        if (c.accepted && c.thenFrames) {
            EXPECT_EQ(first["reply"], "auth");
            rig.sim->clearReceived();
            client.send(frame(DC_CMD_GET_SYS_PARAM_VALUES));
            EXPECT_TRUE(client.waitForCode(DC_RESP_SYS_PARAM_VALUES, 3000));
        } else if (c.accepted) {
            EXPECT_EQ(first["reply"], "auth");
            EXPECT_EQ(reply(client, R"({"op":"hello"})")["reply"], "hello");
        } else {
            EXPECT_EQ(first.value("error", ""), "unauthorized");
            EXPECT_TRUE(client.closedWithin(2000));
        }
    }
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
    ::unlink(path);
}

// A TCP listener with an endpoint file and no token file (the service's own
// endpoint on Windows): a fresh random token, written with the address for
// this user alone; a client that reads it speaks the unit's frames; the file
// goes with the service.
TEST(ServiceJson, TheEndpointFileHandsClientsTheAddressAndAFreshToken)
{
    char dir[] = "/tmp/bm-endpoint-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string file = std::string(dir) + "/brennmarkd.token";
    std::string tokens[2];
    for (std::string& token : tokens) {
        service::ServiceOptions o;
        o.listen = "127.0.0.1:0";
        o.endpointFile = file;
        ServiceRig rig;
        ASSERT_TRUE(rig.start(ServiceRig::strictFast(), o));
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ServiceEndpoint endpoint;
        std::string error;
        ASSERT_TRUE(parseServiceEndpoint(text, endpoint, error)) << error << ": " << text;
        EXPECT_EQ(endpoint.host, "127.0.0.1");
        EXPECT_EQ(endpoint.port, rig.service->tcpPort());
        EXPECT_EQ(endpoint.token.size(), 64u);
        token = endpoint.token;
        RawClient client(endpoint.port);
        ASSERT_TRUE(client.connected());
        const std::string auth = serviceAuthRequest(endpoint.token); // one line, with its newline
        EXPECT_EQ(reply(client, auth.substr(0, auth.size() - 1))["reply"], "auth");
        client.send(joined({frame(HOST_WAKEUP), frame(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})}));
        EXPECT_TRUE(client.waitForCode(DC_ACK, 2000));
        RawClient stranger(endpoint.port);
        EXPECT_EQ(reply(stranger, R"({"op":"hello"})").value("error", ""), "unauthorized");
        rig.stopService();
        EXPECT_NE(::access(file.c_str(), F_OK), 0) << "the endpoint file outlived the service";
    }
    EXPECT_NE(tokens[0], tokens[1]) << "a token used again";
    ::rmdir(dir);
}

TEST(ServiceBounds, ConnectsAndDisconnectsLeaveTheDescriptorsWhereTheyWere)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    {
        RawClient warm(rig.socketPath());
        EXPECT_EQ(reply(warm, R"({"op":"hello"})")["reply"], "hello");
    }
    ASSERT_TRUE(waitFor0(rig));
    const int before = openDescriptors();
    for (int i = 0; i < 1000; ++i) {
        RawClient c(rig.socketPath());
        ASSERT_TRUE(c.connected());
        if (i % 2 == 0)
            c.send(frame(HOST_WAKEUP)); // a frame client, answered by the service
        else
            c.send(std::string("{\"op\":\"subscribe\"}\n"));
    }
    ASSERT_TRUE(waitFor0(rig));
    EXPECT_EQ(openDescriptors(), before);
}

// The unit lost and back: subscribers are told the line state, and a value
// that changed meanwhile (a unit switched off and on, back at its factory
// volume) reaches them from the reconnection's sweep.
TEST(ServiceJson, SubscribersFollowTheLineLostAndBackWithTheSweepsChanges)
{
    sim::SimOptions o = ServiceRig::strictFast();
    o.linkPath = "/tmp/bm-service-unit-" + std::to_string(::getpid());
    ServiceRig rig;
    ASSERT_TRUE(rig.start(o));
    RawClient setter(rig.socketPath()), watcher(rig.socketPath()), attached(rig.socketPath());
    ASSERT_TRUE(attached.send(frame(HOST_WAKEUP)));
    ASSERT_TRUE(attached.waitForCode(DC_ACK, 2000));
    ASSERT_EQ(reply(setter, R"({"op":"set","values":{"volume":-30}})")["reply"], "set");
    const Json before = reply(setter, R"({"op":"hello"})");
    EXPECT_EQ(before["controls"]["volume"], -30);
    EXPECT_EQ(reply(watcher, R"({"op":"subscribe"})")["reply"], "subscribe");

    rig.sim->stop(); // the cable pulled
    std::vector<std::string> states;
    bool sawFactoryVolume = false;
    auto follow = [&](const char* until, int ms) {
        while (const auto line = watcher.line(ms)) {
            const Json e = Json::parse(*line, nullptr, false);
            if (e.value("event", "") == "line")
                states.push_back(e["state"]);
            if (e.value("event", "") == "change" && e.value("control", "") == "volume" && e["value"] == -35)
                sawFactoryVolume = true;
            if (!states.empty() && states.back() == until)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(follow("lost", 10000));
    // A frame client sees the loss as on a bare line: its line hangs up.
    EXPECT_TRUE(attached.closedWithin(2000)) << "a frame client kept on a line with no unit";
    // With no unit behind the service, a frame client's greeting goes
    // unanswered, as it would on a bare line: it finds no unit.
    RawClient greeter(rig.socketPath());
    ASSERT_TRUE(greeter.send(joined({frame(HOST_WAKEUP), frame(DC_CMD_SET_FPD_CTRL, {1, 1, 1, 0x32})})));
    EXPECT_FALSE(greeter.waitForCode(DC_ACK, 1000)) << "a greeting answered for a unit that is not there";
    rig.sim = std::make_unique<sim::SimServer>(o); // a unit at its factory settings, on the same device
    ASSERT_TRUE(rig.sim->start());
    ASSERT_TRUE(follow("connected", 15000));
    ASSERT_TRUE(greeter.send(frame(HOST_WAKEUP)));
    EXPECT_TRUE(greeter.waitForCode(DC_ACK, 2000)) << "the unit is back";
    while (!sawFactoryVolume && follow("", 3000)) {
    }
    EXPECT_TRUE(sawFactoryVolume);
    EXPECT_EQ(reply(setter, R"({"op":"get","controls":["volume"]})")["values"]["volume"], -35);

    // Another ROM where the unit was: subscribers are told once it has been
    // read, with nothing decoded by the old unit's definitions before; its
    // values and reports follow.
    rig.sim->stop();
    o.firmware = sim::Firmware::B;
    rig.sim = std::make_unique<sim::SimServer>(o);
    ASSERT_TRUE(rig.sim->start());
    Json unit;
    while (const auto line = watcher.line(15000)) {
        const Json e = Json::parse(*line, nullptr, false);
        EXPECT_NE(e.value("event", ""), "change") << *line << " told before the new unit was";
        if (e.value("event", "") == "unit") {
            unit = e;
            break;
        }
    }
    ASSERT_TRUE(unit.is_object()) << "subscribers were not told of another unit";
    EXPECT_FALSE(unit.value("product", "").empty());
    EXPECT_FALSE(unit.value("rom", "").empty());
    EXPECT_EQ(unit.value("rom", ""), reply(setter, R"({"op":"hello"})").value("rom", "-"));
    EXPECT_EQ(reply(setter, R"({"op":"get","controls":["volume"]})")["reply"], "get") << "the new unit is read";
    ASSERT_TRUE(rig.sim->command("set VOLUME 52"));
    bool toldNewVolume = false;
    while (!toldNewVolume) {
        const auto line = watcher.line(5000);
        if (!line)
            break;
        const Json e = Json::parse(*line, nullptr, false);
        toldNewVolume = e.value("event", "") == "change" && e.value("control", "") == "volume" && e["raw"] == 52;
    }
    EXPECT_TRUE(toldNewVolume);
}

// brennmark-cli run as a process with --port unix:PATH: it speaks the unit's
// protocol to the service, which passes its requests on one at a time, while
// a JSON subscriber sees what it changes.
TEST(ServiceThroughCli, GetAndSetThroughTheServiceWhileASubscriberWatches)
{
    char dir[] = "/tmp/bm-cli-config-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    ::setenv("XDG_CONFIG_HOME", dir, 1); // the command line's own settings, apart from the user's
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    RawClient watcher(rig.socketPath());
    EXPECT_EQ(reply(watcher, R"({"op":"subscribe"})")["reply"], "subscribe");
    auto cli = [&](std::vector<std::string> args, std::string& out) {
        char outPath[] = "/tmp/bm-cli-out-XXXXXX";
        const int fd = ::mkstemp(outPath);
        args.insert(args.begin(), {BM_CLI_PATH, "--port", "unix:" + rig.socketPath()});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
        pid_t pid = -1;
        int status = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
            ::waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&actions);
        std::ifstream in(outPath);
        out.assign(std::istreambuf_iterator<char>(in), {});
        ::close(fd);
        ::unlink(outPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    ASSERT_EQ(cli({"set", "volume", "-33"}, out), 0) << out;
    EXPECT_EQ(out, "volume -33\n");
    ASSERT_EQ(cli({"get", "volume"}, out), 0) << out;
    EXPECT_EQ(out, "volume -33\n");
    bool sawChange = false;
    while (const auto line = watcher.line(1000))
        sawChange = sawChange || line->find(R"("control":"volume","value":-33)") != std::string::npos;
    EXPECT_TRUE(sawChange);
    // The command line's greeting and goodbye were the service's to answer.
    for (const Bytes& p : rig.sim->receivedPackets())
        EXPECT_NE(p[2], HOST_SLEEP);
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

// Eight clients at once against a unit at its wire timing, for a bounded run:
// two watchers, three frame clients reading the status in a loop, three JSON
// clients setting the volume in a loop. No request reaches the unit early,
// every set not replaced by a newer one is acknowledged, every watcher sees
// every change.
TEST(ServiceLoad, EightClientsAndTheUnitNeverHearsARequestBeforeTheAnswerIsComplete)
{
    sim::SimOptions o;
    o.strict = true; // wire timing: the definitions download takes some 9 s
    ServiceRig rig;
    ASSERT_TRUE(rig.start(o));
    constexpr auto kRun = 5s;
    std::atomic<bool> stop{false};
    std::atomic<int> setsDone{0}, setsFailed{0}, readsDone{0}, readsFailed{0};
    std::mutex failureMutex;
    std::string firstFailure;

    std::vector<std::unique_ptr<RawClient>> watchers;
    for (int i = 0; i < 2; ++i) {
        watchers.push_back(std::make_unique<RawClient>(rig.socketPath()));
        watchers.back()->send(frame(HOST_WAKEUP));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            RawClient c(rig.socketPath());
            while (!stop) {
                c.send(frame(DC_CMD_GET_SYS_STATUS));
                (c.waitForCode(DC_RESP_SYS_STATUS, 3000) ? readsDone : readsFailed)++;
            }
        });
        threads.emplace_back([&, i] {
            RawClient c(rig.socketPath());
            for (int n = 0; !stop; ++n) {
                const int volume = (n % 2 == 0 ? -40 : -60) - i;
                const Json r = reply(c, R"({"op":"set","values":{"volume":)" + std::to_string(volume) + "}}", 10000);
                if (!r.is_object()) {
                    setsFailed++;
                    std::lock_guard lock(failureMutex);
                    if (firstFailure.empty())
                        firstFailure = "no reply to a set within 10 s";
                    continue;
                }
                const bool done = r.value("reply", "") == "set" && r["results"][0]["outcome"] == "done";
                // Another client's newer set of the volume may replace this
                // one while it waits: it is told so and nothing is sent. The
                // next set may then ask for the value the unit has already.
                if (r.value("error", "") == "superseded" ||
                    (r.value("reply", "") == "set" && r["results"][0]["outcome"] == "unchanged"))
                    continue;
                (done ? setsDone : setsFailed)++;
                if (!done) {
                    std::lock_guard lock(failureMutex);
                    if (firstFailure.empty())
                        firstFailure = r.dump();
                }
            }
        });
    }
    std::vector<int> changes(watchers.size(), 0);
    const auto end = std::chrono::steady_clock::now() + kRun;
    while (std::chrono::steady_clock::now() < end)
        for (std::size_t w = 0; w < watchers.size(); ++w)
            watchers[w]->codesWithin(10);
    stop = true;
    for (auto& t : threads)
        t.join();
    for (std::size_t w = 0; w < watchers.size(); ++w) {
        watchers[w]->codesWithin(800);
        for (const Bytes& p : watchers[w]->seen())
            if (p[2] == DC_PARAM_CHG_MSG && p[4] == 3) // VOLUME
                ++changes[w];
    }
    EXPECT_GT(setsDone.load(), 3);
    EXPECT_EQ(setsFailed.load(), 0) << firstFailure;
    EXPECT_GT(readsDone.load(), 3);
    EXPECT_EQ(readsFailed.load(), 0);
    for (int seen : changes)
        EXPECT_EQ(seen, setsDone.load());
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

} // namespace
} // namespace bm::test

namespace bm::test {
namespace {

// A unit, or a line, slow to answer once the service is up: a set and a
// request passed through are answered, not given up on, when the answer
// comes within the service's bound for a request at the unit (at 600 ms the
// acknowledgement comes after the unit's own window, as on a loaded line).
// No request of the service's own reaches the unit while it still owes an
// answer: not its greeting when the line comes back, not its goodbye.
TEST(ServiceSlowUnit, SetsAndRequestsPassedThroughAreAnsweredNotGivenUp)
{
    struct Row {
        int delayMs;
        int volume;
        bool lineBack; // the unit unplugged and back, slow from its greeting on
    };
    for (const Row& row : {Row{250, -31, true}, Row{450, -32, false}, Row{600, -33, false}}) {
        SCOPED_TRACE(row.delayMs);
        sim::SimOptions o = ServiceRig::strictFast();
        o.linkPath = "/tmp/bm-slow-unit-" + std::to_string(::getpid());
        ServiceRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.sim->setAnswerDelay(row.delayMs);
        RawClient json(rig.socketPath());
        const Json r = reply(json, R"({"op":"set","values":{"volume":)" + std::to_string(row.volume) + "}}", 10000);
        ASSERT_TRUE(r.is_object());
        EXPECT_EQ(r.value("reply", ""), "set") << r.dump();
        if (r.contains("results"))
            EXPECT_EQ(r["results"][0]["outcome"], "done") << r.dump();
        EXPECT_EQ(rig.sim->snapshot().sysStatus[0], static_cast<std::uint8_t>(row.volume + 80));
        RawClient frames(rig.socketPath());
        frames.send(frame(DC_CMD_GET_INPUT_NAME, {1}));
        EXPECT_TRUE(frames.waitForCode(DC_RESP_INPUT_NAME, 3000));
        if (row.lineBack) {
            rig.sim->stop();
            rig.sim = std::make_unique<sim::SimServer>(o);
            rig.sim->setAnswerDelay(row.delayMs);
            ASSERT_TRUE(rig.sim->start());
            bool swept = false; // greeted, and the sweep after it begun
            for (int i = 0; i < 1000 && !swept; ++i) {
                swept = has(rig.unitCodes(), DC_CMD_GET_SYS_STATUS);
                std::this_thread::sleep_for(10ms);
            }
            ASSERT_TRUE(swept) << "the service never greeted the unit back";
        }
        rig.stopService(); // its goodbye
        EXPECT_EQ(rig.sim->strictViolations(), 0u);
    }
}

} // namespace
} // namespace bm::test

namespace bm::test {
namespace {

// A person's requests go ahead of the service's own re-reads: a status
// re-read that a client's command asked for waits while other clients'
// requests wait for the line, and runs once they are done.
TEST(ServiceOrder, ClientsRequestsGoAheadOfTheServicesOwnReread)
{
    ServiceRig rig;
    ASSERT_TRUE(rig.start());
    RawClient trigger(rig.socketPath());
    trigger.send(frame(DC_CMD_SET_FRONT_BACK_BALANCE, {0x11})); // not reported: the status is read again
    ASSERT_TRUE(trigger.waitForCode(DC_ACK, 3000));
    rig.sim->clearReceived();

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, unanswered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
        clients.emplace_back([&, i] {
            RawClient c(rig.socketPath());
            for (int n = 0; !stop; ++n) {
                c.send(frame(DC_CMD_GET_INPUT_NAME, {static_cast<std::uint8_t>((n + i) % 8)}));
                bool got = false;
                for (int pass = 0; pass < 300 && !got; ++pass)
                    got = has(c.codesWithin(10), DC_RESP_INPUT_NAME);
                (got ? answered : unanswered)++;
            }
        });
    }
    // Well past the re-read's delay, with a request always waiting.
    for (int i = 0; i < 1000 && answered < 80 && unanswered == 0; ++i)
        std::this_thread::sleep_for(10ms);
    const Codes during = rig.unitCodes();
    stop = true;
    for (auto& t : clients)
        t.join();
    EXPECT_GE(answered.load(), 80);
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_FALSE(has(during, DC_CMD_GET_SYS_STATUS));
    EXPECT_FALSE(has(during, DC_CMD_GET_REC_STATUS));
    bool reread = false;
    for (int i = 0; i < 300 && !reread; ++i) {
        reread = has(rig.unitCodes(), DC_CMD_GET_SYS_STATUS);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(reread) << "the re-read never ran once the clients were done";
}

} // namespace
} // namespace bm::test
