// Checking the MQTT settings. The credentials file is opened without following
// a symbolic link and checked on the open descriptor, so what is checked is
// what is read.
#include "service/mqtt_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm::service {

int takeMqttOption(int argc, char** argv, int& i, MqttCommandLine& into, std::string& error)
{
    const std::string arg = argv[i];
    std::string* target = arg == "--mqtt"               ? &into.url
                          : arg == "--mqtt-credentials" ? &into.credentials
                          : arg == "--mqtt-id"          ? &into.id
                          : arg == "--mqtt-prefix"      ? &into.prefix
                                                        : nullptr;
    if (!target)
        return 0;
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = arg + " needs a value";
        return -1;
    }
    *target = argv[++i];
    return 1;
}

std::string mqttUsage()
{
    return "  --mqtt URL         also publish the unit to an MQTT broker for Home Assistant\n"
           "                     (mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS)\n"
           "  --mqtt-credentials FILE  user name and password on two lines; the file must\n"
           "                     not be readable by group or others\n"
           "  --mqtt-id ID       the device's id in topics (default ridaziv-<product>)\n"
           "  --mqtt-prefix P    the topics' first level (default brennmark)\n";
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
    options.id = given.id;
    if (!given.prefix.empty())
        options.prefix = given.prefix;
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open the credentials file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        error = "cannot read the credentials file " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "the credentials file " + path + " is not a regular file";
        ok = false;
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = "the credentials file " + path + " may be read by others: chmod 600 it";
        ok = false;
    } else if (st.st_size > 4096) {
        error = "the credentials file " + path + " is larger than 4 KiB";
        ok = false;
    } else {
        char buffer[4097];
        ssize_t n = 0;
        while (ok && text.size() <= 4096 && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                error = "cannot read the credentials file " + path + ": " + std::strerror(errno);
                ok = false;
            } else {
                text.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (ok && text.size() > 4096) {
            error = "the credentials file " + path + " is larger than 4 KiB";
            ok = false;
        }
    }
    ::close(fd);
    if (!ok)
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

std::string defaultMqttId(const std::string& product)
{
    std::string id = "ridaziv-";
    for (unsigned char c : product)
        if (std::isalnum(c))
            id += static_cast<char>(std::tolower(c));
    return id;
}

std::chrono::milliseconds mqttRetryDelay(const MqttOptions& options, int attempt)
{
    auto delay = options.firstRetry;
    for (int i = 1; i < attempt && delay < options.maxRetry; ++i)
        delay *= 2;
    return std::min(delay, options.maxRetry);
}

} // namespace bm::service
