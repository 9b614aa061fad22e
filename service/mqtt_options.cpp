// Checking the MQTT settings. The credentials file is read as the token file
// is (io::readPrivateFile).
#include "service/mqtt_options.h"

#include "service/service_io.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm::service {

void addMqttOptions(CLI::App& app, MqttCommandLine& into)
{
    const CLI::Validator given([](std::string& value) { return value.empty() ? std::string("needs a value") : std::string(); },
                               "", "given");
    for (const auto& [name, target] : {std::pair{"--mqtt", &into.url}, std::pair{"--mqtt-credentials", &into.credentials},
                                       std::pair{"--mqtt-id", &into.id}, std::pair{"--mqtt-prefix", &into.prefix},
                                       std::pair{"--mqtt-name", &into.name}, std::pair{"--mqtt-discovery", &into.discovery},
                                       std::pair{"--mqtt-discovery-prefix", &into.discoveryPrefix}})
        app.add_option(name, *target)->check(given);
}

std::string mqttUsage()
{
    return "  --mqtt URL         also publish the unit to an MQTT broker for Home Assistant\n"
           "                     (mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS)\n"
           "  --mqtt-credentials FILE  user name and password on two lines; the file must\n"
           "                     not be readable by group or others\n"
           "  --mqtt-id ID       the device's id in topics (default ridaziv-<product>-<port>)\n"
           "  --mqtt-prefix P    the topics' first level (default brennmark)\n"
           "  --mqtt-name NAME   the device's name in Home Assistant (default: the unit's\n"
           "                     custom name)\n"
           "  --mqtt-discovery device|per-entity  one discovery message per device (default)\n"
           "                     or one per entity\n"
           "  --mqtt-discovery-prefix P  Home Assistant's discovery prefix (default homeassistant)\n";
}

MqttCommandLine withMqttEnvironment(MqttCommandLine given)
{
    const auto fill = [](std::string& value, const char* variable) {
        const char* env = std::getenv(variable);
        if (value.empty() && env)
            value = env;
    };
    fill(given.url, "BRENNMARK_MQTT");
    fill(given.credentials, "BRENNMARK_MQTT_CREDENTIALS");
    fill(given.id, "BRENNMARK_MQTT_ID");
    fill(given.prefix, "BRENNMARK_MQTT_PREFIX");
    fill(given.name, "BRENNMARK_MQTT_NAME");
    fill(given.discovery, "BRENNMARK_MQTT_DISCOVERY");
    fill(given.discoveryPrefix, "BRENNMARK_MQTT_DISCOVERY_PREFIX");
    const char* systemd = std::getenv("CREDENTIALS_DIRECTORY");
    if (given.credentials.empty() && systemd && *systemd) {
        const std::string file = std::string(systemd) + "/mqtt";
        if (::access(file.c_str(), F_OK) == 0)
            given.credentials = file;
    }
    return given;
}

bool mqttOptionsFrom(const MqttCommandLine& given, MqttOptions& options, std::string& error)
{
    if (!parseMqttUrl(given.url, options, error))
        return false;
    if (!given.credentials.empty() && !readMqttCredentials(given.credentials, options, error))
        return false;
    if (!given.id.empty() && !validMqttName(given.id)) {
        error = "--mqtt-id takes 1 to 64 of A-Z a-z 0-9 _ - (" + given.id + ")";
        return false;
    }
    if (!given.prefix.empty() && !validMqttName(given.prefix)) {
        error = "--mqtt-prefix takes 1 to 64 of A-Z a-z 0-9 _ - (" + given.prefix + ")";
        return false;
    }
    if (!given.discoveryPrefix.empty() && !validMqttName(given.discoveryPrefix)) {
        error = "--mqtt-discovery-prefix takes 1 to 64 of A-Z a-z 0-9 _ - (" + given.discoveryPrefix + ")";
        return false;
    }
    if (given.discovery == "per-entity") {
        options.discovery = MqttDiscovery::PerEntity;
    } else if (given.discovery.empty() || given.discovery == "device") {
        options.discovery = MqttDiscovery::Device;
    } else {
        error = "--mqtt-discovery takes device or per-entity (" + given.discovery + ")";
        return false;
    }
    if (given.name.size() > 64 || given.name.find_first_of(std::string("\0\n\r", 3)) != std::string::npos) {
        error = "--mqtt-name takes one line of at most 64 bytes";
        return false;
    }
    options.id = given.id;
    options.name = given.name;
    if (!given.prefix.empty())
        options.prefix = given.prefix;
    if (!given.discoveryPrefix.empty())
        options.discoveryPrefix = given.discoveryPrefix;
    return true;
}

bool parseMqttUrl(const std::string& url, MqttOptions& options, std::string& error)
{
    std::string rest;
    bool tls = false;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        tls = true;
    } else {
        error = "the broker's URL must start with mqtt:// or mqtts:// (" + url + ")";
        return false;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host;
    std::string port;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            error = "unclosed [ in " + url;
            return false;
        }
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = "bad port in " + url;
                return false;
            }
            port = after.substr(1);
            hasPort = true;
        }
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            hasPort = true;
        }
    }
    if (host.empty() || host.find_first_of("/@ ") != std::string::npos) {
        error = "no broker host in " + url + " (credentials go in --mqtt-credentials)";
        return false;
    }
    int number = tls ? 8883 : 1883;
    if (hasPort) {
        if (port.empty() || port.size() > 5
            || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) {
            error = "bad port in " + url;
            return false;
        }
        number = std::stoi(port);
        if (number < 1 || number > 65535) {
            error = "bad port in " + url;
            return false;
        }
    }
    options.host = host;
    options.port = number;
    options.tls = tls;
    return true;
}

bool readMqttCredentials(const std::string& path, MqttOptions& options, std::string& error)
{
    std::string text;
    if (!io::readPrivateFile(path, "the credentials file", 4096, text, error))
        return false;
    const auto firstEnd = text.find('\n');
    std::string user = text.substr(0, firstEnd);
    std::string password;
    if (firstEnd != std::string::npos) {
        const auto secondEnd = text.find('\n', firstEnd + 1);
        password = text.substr(firstEnd + 1,
                               secondEnd == std::string::npos ? std::string::npos : secondEnd - firstEnd - 1);
    }
    for (std::string* s : {&user, &password})
        if (!s->empty() && s->back() == '\r')
            s->pop_back();
    if (user.empty()) {
        error = "the credentials file " + path + " has no user name on its first line";
        return false;
    }
    options.username = user;
    options.password = password;
    return true;
}

bool validMqttName(const std::string& name)
{
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-';
    });
}

std::string defaultMqttId(const std::string& product, const std::string& port)
{
    std::string id = "ridaziv-";
    for (unsigned char c : product)
        if (std::isalnum(c))
            id += static_cast<char>(std::tolower(c));
    // The port's last path part ("/dev/ttyUSB0"), or a TCP address's host and
    // port; runs of other characters become one dash.
    std::string where = port;
    if (where.rfind("tcp://", 0) == 0)
        where = where.substr(6);
    else if (const auto slash = where.find_last_of("/\\"); slash != std::string::npos)
        where = where.substr(slash + 1);
    std::string tail;
    for (unsigned char c : where) {
        if (std::isalnum(c))
            tail += static_cast<char>(std::tolower(c));
        else if (!tail.empty() && tail.back() != '-')
            tail += '-';
    }
    while (!tail.empty() && tail.back() == '-')
        tail.pop_back();
    if (!tail.empty())
        id += (id.back() == '-' ? "" : "-") + tail;
    if (id.size() > 64)
        id.resize(64);
    while (id.back() == '-')
        id.pop_back();
    return id;
}

std::string mqttInstanceName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    return std::string("brennmarkd on ") + (host[0] ? host : "this host") + ", pid " + std::to_string(::getpid());
}

std::chrono::milliseconds mqttRetryDelay(const MqttOptions& options, int attempt)
{
    auto delay = options.firstRetry;
    for (int i = 1; i < attempt && delay < options.maxRetry; ++i)
        delay *= 2;
    return std::min(delay, options.maxRetry);
}

} // namespace bm::service
