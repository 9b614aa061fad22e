// The MQTT bridge's settings: the broker's URL, the credentials file, the
// device id and the topic prefix, checked as brennmarkd reads them from its
// command line or its settings.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace bm::service {

// How Home Assistant is told about the entities: one retained config per
// device under <discovery>/device/<id>/config (Home Assistant 2024.11 on), or
// one per entity under <discovery>/<platform>/<id>/<object>/config for other
// consumers.
enum class MqttDiscovery { Device, PerEntity };

struct MqttOptions {
    std::string host;
    int port = 1883;
    bool tls = false;                   // mqtts://
    std::string caPath = "/etc/ssl/certs";
    std::string username;               // from the credentials file only
    std::string password;
    std::string id;                     // topics and unique ids; [A-Za-z0-9_-]
    std::string prefix = "brennmark";   // <prefix>/<id>/state/<control>
    std::string discoveryPrefix = "homeassistant";
    MqttDiscovery discovery = MqttDiscovery::Device;
    std::string name;                   // the device's name; empty: the unit's custom name
    // Who this bridge is, in the retained claim on its id ("host pid 1234");
    // another instance that finds a live claim not its own stays off.
    std::string instance;
    int keepAliveSeconds = 30;
    // A broker that cannot be reached is tried again after firstRetry, then
    // twice as long each time, never longer than maxRetry.
    std::chrono::milliseconds firstRetry{1000};
    std::chrono::milliseconds maxRetry{30000};
};

// brennmarkd's MQTT options as given: --mqtt URL, --mqtt-credentials FILE,
// --mqtt-id ID, --mqtt-prefix PREFIX, --mqtt-name NAME, --mqtt-discovery
// device|per-entity, --mqtt-discovery-prefix PREFIX. What the command line
// leaves empty comes from BRENNMARK_MQTT, BRENNMARK_MQTT_CREDENTIALS,
// BRENNMARK_MQTT_ID, BRENNMARK_MQTT_PREFIX, BRENNMARK_MQTT_NAME,
// BRENNMARK_MQTT_DISCOVERY and BRENNMARK_MQTT_DISCOVERY_PREFIX (the
// service's settings file, an EnvironmentFile of
// its systemd unit), and the credentials from $CREDENTIALS_DIRECTORY/mqtt
// (systemd's LoadCredential=mqtt:FILE) when that exists.
struct MqttCommandLine {
    std::string url;
    std::string credentials;
    std::string id;
    std::string prefix;
    std::string name;
    std::string discovery;
    std::string discoveryPrefix;
};

// Adds the MQTT options to brennmarkd's command line (a build without MQTT
// knows their names and refuses each as a usage error).
void addMqttOptions(CLI::App& app, MqttCommandLine& into);
// The options' lines for --help.
std::string mqttUsage();
// Fills in from the environment what the command line left empty.
MqttCommandLine withMqttEnvironment(MqttCommandLine given);
// The bridge's options: the URL parsed, the credentials read, the id and
// prefix checked (an empty id stays empty: the unit's product gives it).
// False with the reason in `error`.
bool mqttOptionsFrom(const MqttCommandLine& given, MqttOptions& options, std::string& error);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (default ports 1883 and 8883; an
// IPv6 address in brackets). False with the reason in `error`.
bool parseMqttUrl(const std::string& url, MqttOptions& options, std::string& error);

// The credentials file: the user name on its first line, the password on its
// second. Refused unless it is a regular file that only its owner may read
// (no group or other permission bits), of at most 4 KiB.
bool readMqttCredentials(const std::string& path, MqttOptions& options, std::string& error);

// An id or prefix usable as one topic level and in Home Assistant's discovery
// topic: 1 to 64 of A-Z a-z 0-9 _ -.
bool validMqttName(const std::string& name);

// The id when none is given: "ridaziv-", the product in lower case without
// other characters and the port's last part ("DE-1", "/dev/ttyUSB0" ->
// "ridaziv-de1-ttyusb0"; "tcp://10.0.0.5:4000" -> "...-10-0-0-5-4000"), so
// that two units of one product on one broker differ. Stable across restarts.
std::string defaultMqttId(const std::string& product, const std::string& port = {});

// This process as the claim on an id names it: "brennmarkd on HOST, pid N".
std::string mqttInstanceName();

// The delay before the n-th attempt after a failed one (n from 1): firstRetry,
// doubled each time, capped at maxRetry.
std::chrono::milliseconds mqttRetryDelay(const MqttOptions& options, int attempt);

} // namespace bm::service
