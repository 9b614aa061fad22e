// The MQTT options in a build without the bridge (no libmosquitto: the
// Windows build): every --mqtt option is refused as a usage error, saying so.
#include "service/mqtt_options.h"

namespace bm::service {

int takeMqttOption(int argc, char** argv, int& i, MqttCommandLine& into, std::string& error)
{
    const std::string arg = argv[i];
    if (arg.rfind("--mqtt", 0) != 0)
        return 0;
    error = "this build of brennmarkd has no MQTT (" + arg + " is not available here)";
    return -1;
}

std::string mqttUsage()
{
    return "  --mqtt URL         not in this build: it has no MQTT (refused, status 2)\n";
}

} // namespace bm::service
