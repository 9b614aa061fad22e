// brennmarkd: one service owns the unit; the panel, the command line and
// automation share it through its socket (on Windows a loopback TCP port).
// A build without libmosquitto (the Windows one) has no MQTT bridge.
#include "service/service.h"
#include "service/service_io.h"
#include "platform/serial_factory.h"
#ifdef BM_WITH_MQTT
#include "service/mqtt_bridge.h"
#include "service/mqtt_service_view.h"
#endif
#ifdef BM_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <memory>

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
    io::prepareProcess();

#ifdef BM_WITH_MQTT
    // MQTT: the settings are checked (and the credentials read) before the unit is opened.
    const MqttCommandLine mqtt = withMqttEnvironment(options.mqtt);
    MqttOptions mqttOptions;
    if (!mqtt.url.empty() && !mqttOptionsFrom(mqtt, mqttOptions, error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 2;
    }
    ServiceUnitView view;
#else
    if (const char* mqtt = std::getenv("BRENNMARK_MQTT"); mqtt && *mqtt) {
        std::fprintf(stderr, "brennmarkd: BRENNMARK_MQTT is set, but this build of brennmarkd has no MQTT\n");
        return 2;
    }
#endif

    Service::Setup setup;
    setup.options = options;
#ifdef BM_WITH_MQTT
    setup.unitPacket = [&view](const bm::Packet& p) { view.onUnitPacket(p); };
    setup.lineState = [&view](bm::LineState state) { view.onLineState(state); };
#endif
    // A port that cannot name a line is the one start-up failure with status
    // 3; a unit that is missing or silent is waited for.
    if (!bm::checkDeviceName(portOverride(options), error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 3;
    }
    Service service(setup);
    if (!service.start(error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 1;
    }
#ifdef BM_WITH_MQTT
    view.attach(service.unit());
    std::unique_ptr<MqttBridge> bridge;
    if (!mqtt.url.empty()) {
        if (mqttOptions.id.empty())
            mqttOptions.id = defaultMqttId(view.snapshot().product, service.unit().devicePath());
        mqttOptions.instance = mqttInstanceName();
        bridge = std::make_unique<MqttBridge>(view, mqttOptions);
        // Another service holds the id: this one stops, with the usage
        // status, so that systemd does not start it again and again.
        bridge->onIdTaken([&service] { service.stop(); });
        if (!bridge->start(error)) {
            std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
            service.stop();
        }
    }
#endif
#ifdef BM_WITH_SYSTEMD
    // Clients can connect now: systemd starts what waits for the service.
    sd_notify(0, "READY=1");
#endif
    const int status = service.run(true);
#ifdef BM_WITH_SYSTEMD
    sd_notify(0, "STOPPING=1");
#endif
#ifdef BM_WITH_MQTT
    if (bridge) {
        bridge->stop();
        if (bridge->idTaken())
            return 2;
    }
#endif
    return status;
}
