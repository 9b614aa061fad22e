// bench-mqtt: how long a change the unit reports takes to reach a subscriber of
// its state topic. The simulated unit at its 19200-baud wire timing, the
// service and its MQTT bridge in-process, a real broker (mosquitto) on a
// loopback port and a subscriber; each run changes the volume on the unit's
// console and times the subscriber's copy of state/volume from the last byte
// of the unit's change message (the unit-to-host byte count reaching it).
// Then the other way: a set published as Home Assistant does -> its state
// back at the subscriber, one at a time, and 100 sets in a row until the last
// one's outcome is on the result topic.
#include "tests/support/memory_settings.h"
#include "service/mqtt_bridge.h"
#include "service/mqtt_service_view.h"
#include "service/service.h"
#include "sim/sim_server.h"
#include "tests/service/mqtt_rig.h"
#include "tests/support/fast_timing.h"
#include "tests/support/wait_until.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace bm;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 40;
constexpr double kGoalMs = 50;
constexpr std::uint64_t kChangeMessageBytes = 7; // start, length, code, count, id, value, end

// The subscriber: when each state/volume payload arrived.
struct Subscriber {
    std::mutex mutex; // guards arrivals
    std::vector<std::pair<std::string, Clock::time_point>> arrivals;
};

} // namespace

int main(int argc, char** argv)
{
    // --broker-nodelay: the broker with set_tcp_nodelay (mosquitto's default
    // holds a small message back for the subscriber's delayed acknowledgement
    // of the one before it, such as the acknowledgement of a QoS 1 set).
    const bool nodelay = argc > 1 && std::string(argv[1]) == "--broker-nodelay";
    if (argc > 1 && !nodelay) {
        std::fprintf(stderr, "usage: bench-mqtt [--broker-nodelay]\n");
        return 2;
    }
    test::Broker broker;
    if (!broker.start(nodelay ? "allow_anonymous true\nset_tcp_nodelay true\n" : "")) {
        std::fprintf(stderr, "bench-mqtt: the broker (mosquitto) did not start\n");
        return 1;
    }
    sim::SimOptions simOptions; // wire timing
    auto sim = std::make_unique<sim::SimServer>(simOptions);
    if (!sim->start())
        return 1;
    char folder[] = "/tmp/bm-bench-mqtt-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;

    service::ServiceUnitView view;
    service::Service::Setup setup;
    setup.options.port = sim->devicePath();
    setup.options.verbose = std::getenv("BM_BENCH_LOG") != nullptr;
    setup.options.socketPath = std::string(folder) + "/s.sock";
    setup.makeSettings = [] {
        auto settings = std::make_unique<InMemorySettings>();
        test::storeFastTiming(*settings, test::FastTiming::pacingOnly());
        return std::unique_ptr<SettingsStore>(std::move(settings));
    };
    setup.log = [](const std::string& l) { if (std::getenv("BM_BENCH_LOG")) std::fprintf(stderr, "%s\n", l.c_str()); };
    setup.unitPacket = [&view](const Packet& p) { view.onUnitPacket(p); };
    setup.lineState = [&view](LineState s) { view.onLineState(s); };
    service::Service service(setup);
    std::string error;
    if (!service.start(error)) {
        std::fprintf(stderr, "bench-mqtt: %s\n", error.c_str());
        return 1;
    }
    std::thread loop([&] { service.run(); });
    view.attach(service.unit());

    service::MqttOptions options;
    options.host = "127.0.0.1";
    options.port = broker.port();
    options.id = "bench";
    service::MqttBridge bridge(view, options, [](const std::string& l) { if (std::getenv("BM_BENCH_LOG")) std::fprintf(stderr, "mqtt: %s\n", l.c_str()); });
    bridge.start(error);

    Subscriber sub;
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, &sub);
    // As Home Assistant's client (paho) does: a set goes out at once.
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* m) {
        const auto now = Clock::now();
        auto* s = static_cast<Subscriber*>(self);
        std::lock_guard lock(s->mutex);
        s->arrivals.emplace_back(std::string(static_cast<const char*>(m->payload), m->payloadlen), now);
    });
    mosquitto_connect(client, "127.0.0.1", broker.port(), 30);
    mosquitto_subscribe(client, nullptr, "brennmark/bench/state/volume", 1);
    mosquitto_subscribe(client, nullptr, "brennmark/bench/result", 1);
    mosquitto_loop_start(client);
    const auto arrived = [&](const std::string& value) -> std::optional<Clock::time_point> {
        std::lock_guard lock(sub.mutex);
        for (const auto& [payload, at] : sub.arrivals)
            if (payload == value)
                return at;
        return std::nullopt;
    };
    if (!test::waitUntil([&] { return arrived("-35").has_value(); }, 10000)) {
        std::fprintf(stderr, "bench-mqtt: the first state never arrived\n");
        return 1;
    }

    std::vector<double> fromLastByte;
    std::vector<double> fromConsole;
    for (int run = 0; run < kRuns; ++run) {
        const int raw = 40 + run % 2 * 10 + run / 2 % 5; // never the same value twice running
        const std::string expected = std::to_string(raw - 80);
        {
            std::lock_guard lock(sub.mutex);
            sub.arrivals.clear();
        }
        const std::uint64_t before = sim->bytesToHost();
        const auto typed = Clock::now();
        sim->command("set VOLUME " + std::to_string(raw));
        // The message's last byte: the unit-to-host count reaching it (a tight look).
        while (sim->bytesToHost() < before + kChangeMessageBytes && Clock::now() - typed < std::chrono::seconds(1)) {
        }
        const auto lastByte = Clock::now();
        if (!test::waitUntil([&] { return arrived(expected).has_value(); }, 2000)) {
            std::fprintf(stderr, "bench-mqtt: state %s never arrived\n", expected.c_str());
            continue;
        }
        const auto at = *arrived(expected);
        fromLastByte.push_back(std::chrono::duration<double, std::milli>(at - lastByte).count());
        fromConsole.push_back(std::chrono::duration<double, std::milli>(at - typed).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(60)); // the front-panel text after it
    }

    // Sets through the bridge: what one volume set costs on the line, and a
    // hundred sets published in a row until the unit has the last value.
    const auto unitVolume = [&] { return static_cast<int>(sim->snapshot().sysStatus[0]) - 80; };
    const auto publishSet = [&](int volume) {
        const std::string payload = std::to_string(volume);
        mosquitto_publish(client, nullptr, "brennmark/bench/set/volume", static_cast<int>(payload.size()),
                          payload.data(), 1, false);
    };
    std::vector<std::size_t> requestsPerSet;
    for (int run = 0; run < 10; ++run) {
        const int volume = -50 - run;
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the front-panel text of the last one
        sim->clearReceived();
        publishSet(volume);
        if (!test::waitUntil([&] { return arrived(std::to_string(volume)).has_value() && unitVolume() == volume; },
                             5000)) {
            std::fprintf(stderr, "bench-mqtt: set %d never landed\n", volume);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // anything the set still sends
        const auto sent = sim->receivedPackets();
        requestsPerSet.push_back(sent.size());
        if (sent.size() > 3) {
            std::string codes;
            for (const auto& p : sent)
                codes += " " + std::to_string(p.size() > 2 ? p[2] : 0);
            std::fprintf(stderr, "bench-mqtt: set %d took %zu requests:%s\n", volume, sent.size(), codes.c_str());
        }
    }
    constexpr int kSets = 100;
    const auto runStart = Clock::now();
    const int lastSet = -25; // no earlier set of the run asks for it
    for (int i = 0; i < kSets; ++i)
        publishSet(i == kSets - 1 ? lastSet : -70 + i % 40);
    const bool landed = test::waitUntil([&] { return unitVolume() == lastSet; }, 60000);
    const double runMs = std::chrono::duration<double, std::milli>(Clock::now() - runStart).count();
    // A set to its state, one at a time.
    std::vector<double> setToState;
    const auto publishValue = [&](const std::string& value) {
        // QoS 1, as the discovery tells Home Assistant to send its commands.
        mosquitto_publish(client, nullptr, "brennmark/bench/set/volume", static_cast<int>(value.size()), value.data(), 1,
                          false);
    };
    for (int run = 0; run < kRuns; ++run) {
        const std::string value = std::to_string(-50 + run % 2 * 10 + run / 2 % 5);
        // A person's sets come apart: the unit's front-panel text of the last
        // one has left the line, as in the requests' rows above.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        {
            std::lock_guard lock(sub.mutex);
            sub.arrivals.clear();
        }
        const auto sent = Clock::now();
        publishValue(value);
        if (!test::waitUntil([&] { return arrived(value).has_value(); }, 3000)) {
            std::fprintf(stderr, "bench-mqtt: the state of set %s never arrived\n", value.c_str());
            continue;
        }
        setToState.push_back(std::chrono::duration<double, std::milli>(*arrived(value) - sent).count());
    }
    // 100 sets in a row, each a new value: settled when the result topic
    // has the last one's outcome.
    constexpr int kBurst = 100;
    const auto results = [&] {
        std::lock_guard lock(sub.mutex);
        return std::count_if(sub.arrivals.begin(), sub.arrivals.end(),
                             [](const auto& a) { return a.first.find("\"outcome\"") != std::string::npos; });
    };
    {
        std::lock_guard lock(sub.mutex);
        sub.arrivals.clear();
    }
    const auto burstStart = Clock::now();
    for (int i = 0; i < kBurst; ++i)
        publishValue(std::to_string(-60 + i % 20));
    const bool settled = test::waitUntil([&] { return results() >= kBurst; }, 30000);
    const double burstMs = std::chrono::duration<double, std::milli>(Clock::now() - burstStart).count();
    const long burstDone = static_cast<long>(results());

    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    bridge.stop();
    service.stop();
    loop.join();
    sim->stop();
    ::rmdir(folder);

    if (fromLastByte.empty())
        return 1;
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double med = median(fromLastByte);
    const double worst = *std::max_element(fromLastByte.begin(), fromLastByte.end());
    std::printf("| Row | Runs | Median | Worst | Goal |\n|---|---|---|---|---|\n");
    std::printf("| unit change message (last byte) -> state published (subscriber has it) | %zu | %.2f ms | %.2f ms | "
                "<= %.0f ms: %s |\n",
                fromLastByte.size(), med, worst, kGoalMs, worst <= kGoalMs ? "met" : "missed");
    std::printf("| console line typed -> state published (with the message's time on the wire) | %zu | %.2f ms | "
                "%.2f ms | none |\n",
                fromConsole.size(), median(fromConsole), *std::max_element(fromConsole.begin(), fromConsole.end()));
    std::sort(requestsPerSet.begin(), requestsPerSet.end());
    if (!requestsPerSet.empty())
        std::printf("| one volume set published -> requests on the unit's line | %zu | %zu | %zu | <= 3: %s |\n",
                    requestsPerSet.size(), requestsPerSet[requestsPerSet.size() / 2],
                    *std::max_element(requestsPerSet.begin(), requestsPerSet.end()),
                    *std::max_element(requestsPerSet.begin(), requestsPerSet.end()) <= 3 ? "met" : "missed");
    std::printf("| %d volume sets published in a row -> the unit has the last | 1 | %.0f ms | %s | <= 3000 ms: %s |\n",
                kSets, runMs, landed ? "landed" : "never landed", landed && runMs <= 3000 ? "met" : "missed");
    const double setMedian = setToState.empty() ? 0 : median(setToState);
    std::printf("| set published -> its state at the subscriber | %zu | %.2f ms | %.2f ms | median <= %.0f ms: %s |\n",
                setToState.size(), setMedian,
                setToState.empty() ? 0 : *std::max_element(setToState.begin(), setToState.end()), kGoalMs,
                !setToState.empty() && setMedian <= kGoalMs ? "met" : "missed");
    std::printf("| %d sets in a row -> the last outcome on the result topic | 1 | %.0f ms (%ld outcomes%s) | | <= 3000 ms: "
                "%s |\n",
                kBurst, burstMs, burstDone, settled ? "" : ", not all", settled && burstMs <= 3000 ? "met" : "missed");
    return worst <= kGoalMs && !setToState.empty() && setMedian <= kGoalMs ? 0 : 1;
}
