// The MQTT options in a build without the bridge (no libmosquitto: the
// Windows build): every --mqtt option is refused as a usage error, saying so.
#include "service/mqtt_options.h"

#include <CLI/CLI.hpp>

namespace bm::service {

void addMqttOptions(CLI::App& app, MqttCommandLine&)
{
    for (const char* name : {"--mqtt", "--mqtt-credentials", "--mqtt-id", "--mqtt-prefix", "--mqtt-name",
                             "--mqtt-discovery", "--mqtt-discovery-prefix"}) {
        const std::string option = name;
        app.add_option(name)->check(CLI::Validator(
            [option](std::string&) {
                return "this build of brennmarkd has no MQTT (" + option + " is not available here)";
            },
            "", "no MQTT"));
    }
}

std::string mqttUsage()
{
    return "  --mqtt URL         not in this build: it has no MQTT (refused, status 2)\n";
}

} // namespace bm::service
