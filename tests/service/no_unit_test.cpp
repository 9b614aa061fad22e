// brennmarkd with no unit at its start: it serves its clients, tells them the
// line is lost, and finds the unit by itself once it is there.
#include "service/mqtt_service_view.h"
#include "tests/service/service_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace bm::test {
namespace {

using Json = nlohmann::json;

// The next JSON line for which `want` holds, within `ms`.
std::optional<Json> lineWhere(RawClient& c, int ms, const std::function<bool(const Json&)>& want)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        const auto line = c.line(100);
        if (!line)
            continue;
        const Json j = Json::parse(*line, nullptr, false);
        if (j.is_object() && want(j))
            return j;
    }
    return std::nullopt;
}

TEST(NoUnitAtStart, TheServiceServesTheLineAsLostAndFindsTheUnitWhenItComes)
{
    char dir[] = "/tmp/bm-nounit-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    sim::SimOptions options = ServiceRig::strictFast();
    options.linkPath = std::string(dir) + "/unit";
    ServiceRig rig;
    ASSERT_TRUE(rig.start(options, {}, true)) << "no unit is no reason not to start";
    service::ServiceUnitView view;
    view.attach(rig.service->unit());
    EXPECT_FALSE(rig.service->unit().unitFound());

    // What each client is told while no unit answers.
    RawClient watcher(rig.socketPath());
    watcher.send(std::string(R"({"op":"hello"})") + "\n" + R"({"op":"subscribe"})" + "\n");
    const auto hello = lineWhere(watcher, 10000, [](const Json& j) { return j.value("reply", "") == "hello"; });
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->value("line", ""), "lost");
    const struct {
        const char* request;
        const char* error;
    } requests[] = {
        {R"({"op":"get","controls":["volume"]})", "line_lost"},
        {R"({"op":"set","values":{"volume":-30}})", "line_lost"},
        {R"({"op":"ir","key":"INPUT_CD"})", "line_lost"},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.request);
        RawClient c(rig.socketPath());
        c.send(std::string(r.request) + "\n");
        const auto reply = lineWhere(c, 10000, [](const Json&) { return true; });
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("error", ""), r.error) << reply->dump();
    }
    // A frame client's greeting goes unanswered, as on a bare line.
    RawClient panel(rig.socketPath());
    panel.send(frame(HOST_WAKEUP));
    EXPECT_TRUE(panel.codesWithin(1500).empty());
    EXPECT_EQ(view.snapshot().line, service::UnitLineState::Lost);

    // The unit comes: the service finds it within a few of its tries.
    ASSERT_TRUE(rig.sim->start());
    const auto connected = lineWhere(watcher, 20000, [](const Json& j) {
        return j.value("event", "") == "line" && j.value("state", "") == "connected";
    });
    EXPECT_TRUE(connected) << "subscribers were not told the line is connected";
    EXPECT_TRUE(rig.service->unit().unitFound());
    RawClient getter(rig.socketPath());
    getter.send(std::string(R"({"op":"get","controls":["volume"]})") + "\n");
    const auto value = lineWhere(getter, 10000, [](const Json&) { return true; });
    ASSERT_TRUE(value);
    EXPECT_EQ(value->value("values", Json::object()).value("volume", 0), -35) << value->dump();
    const service::UnitSnapshot snapshot = view.snapshot();
    EXPECT_EQ(snapshot.line, service::UnitLineState::Connected);
    EXPECT_EQ(snapshot.product, "DE-1");
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
    rig.stopService();
    rig.sim->stop();
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

} // namespace
} // namespace bm::test
