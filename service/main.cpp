// brennmarkd: one service owns the unit; the panel, the command line and
// automation share it through its socket.
#include "service/mqtt_bridge.h"
#include "service/mqtt_service_view.h"
#include "service/service.h"

#include <csignal>
#include <memory>
#include <cstdio>
#include <pthread.h>

using namespace bm::service;

int main(int argc, char** argv)
{
    ServiceOptions options;
    std::string error, output;
    bool done = false;
    if (!parseServiceOptions(argc, argv, options, error, done, output)) {
        std::fprintf(stderr, "brennmarkd: %s\n%s", error.c_str(), serviceUsage().c_str());
        return 2;
    }
    if (done) {
        std::fputs(output.c_str(), stdout);
        return 0;
    }
    // SIGTERM and SIGINT are read by the socket thread; no thread takes them
    // as signals. A client that goes away mid-write is an error, not a signal.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // MQTT: the settings are checked (and the credentials read) before the unit is opened.
    const MqttCommandLine mqtt = withMqttEnvironment(options.mqtt);
    MqttOptions mqttOptions;
    if (!mqtt.url.empty() && !mqttOptionsFrom(mqtt, mqttOptions, error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 2;
    }

    ServiceUnitView view;
    Service::Setup setup;
    setup.options = options;
    setup.unitPacket = [&view](const bm::Packet& p) { view.onUnitPacket(p); };
    setup.lineState = [&view](bm::LineState state) { view.onLineState(state); };
    Service service(setup);
    if (!service.start(error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 3;
    }
    view.attach(service.unit());
    std::unique_ptr<MqttBridge> bridge;
    if (!mqtt.url.empty()) {
        if (mqttOptions.id.empty())
            mqttOptions.id = defaultMqttId(view.snapshot().product);
        bridge = std::make_unique<MqttBridge>(view, mqttOptions);
        if (!bridge->start(error)) {
            std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
            service.stop();
        }
    }
    const int status = service.run(true);
    if (bridge)
        bridge->stop();
    return status;
}
