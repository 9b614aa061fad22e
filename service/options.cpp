#include "service/options.h"

#include "platform/service_socket.h"

#include <CLI/CLI.hpp>

#include <cmath>

#include <cstdlib>
#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

namespace bm::service {

std::string serviceUsage()
{
    // Without Unix sockets (Windows) the service's own endpoint is a loopback
    // TCP port with a token, published in the endpoint file.
    const bool tcpByDefault = !defaultServiceListen().empty();
    std::string text = "Usage: brennmarkd [options]\n"
                       "Owns the line to a Ridaziv DE-1 or ZA-2 and shares it: the panel and brennmark-cli\n";
    if (tcpByDefault) {
        text += "connect with --port service and speak the unit's protocol through it; automation\n"
                "speaks newline-delimited JSON on the same endpoint. Runs until Ctrl+C, Ctrl+Break\n"
                "or the console's close, then says goodbye to the unit.\n"
                "\n"
                "  --port DEVICE      the unit's serial port (COM1...), tcp://HOST:PORT or\n"
                "                     rfc2217://HOST:PORT (default:\n"
                "                     BRENNMARK_PORT, else the port stored by the panel)\n"
                "  --listen HOST:PORT the service's endpoint (default " +
                defaultServiceListen() +
                ";\n"
                "                     an address other than loopback needs --token-file)\n"
                "  --token-file FILE  the token a client must send first ({\"op\":\"auth\",...});\n"
                "                     default: a fresh random one each start\n"
                "  --endpoint-file FILE  where the address and token are written for clients\n"
                "                     (default " +
                defaultServiceEndpointPath() + ")\n";
    } else {
        text += "connect with --port service (or unix:PATH) and speak the unit's protocol through\n"
                "it; automation speaks newline-delimited JSON on the same socket. Runs until\n"
                "SIGTERM or SIGINT, then says goodbye to the unit.\n"
                "\n"
                "  --port DEVICE      the unit's serial device, tcp://HOST:PORT or\n"
                "                     rfc2217://HOST:PORT (an RFC 2217 server) (default:\n"
                "                     BRENNMARK_PORT, else the port stored by the panel)\n"
                "  --socket PATH      the Unix socket (default $XDG_RUNTIME_DIR/brennmark/brennmarkd.sock)\n"
                "  --socket-mode MODE the socket's mode, octal (default 0600; 0660 shares it with\n"
                "                     the service's group)\n"
                "  --listen HOST:PORT also serve clients on TCP (loopback unless a token file\n"
                "                     is given)\n"
                "  --token-file FILE  the token a TCP client must send first ({\"op\":\"auth\",...})\n"
                "  --endpoint-file FILE  also write the TCP address and token there for clients on\n"
                "                     this machine (a fresh random token unless --token-file)\n";
    }
    return text +
           "  --http [ADDR:]PORT serve the web remote (default address 127.0.0.1; also\n"
           "                     BRENNMARK_HTTP); brennmark-cli web prints its login link\n"
           "  --http-host NAME   a name the browser may reach it by (repeatable)\n"
           "  --trace FILE       every packet written and read, to a file\n"
           "  --capture FILE     every byte on the line as a replayable capture (JSON\n"
           "                     Lines, gzip when FILE ends in .gz)\n"
           "  --capture-redact   leave the unit's names and the port out of the capture\n"
           "  --max-volume DB    no client sets the volume above DB (also\n"
           "                     BRENNMARK_MAX_VOLUME); such a set is refused\n"
           "  -v, --verbose      every packet in the log on standard error\n" +
           mqttUsage() + "  -h, --help         this text\n  -V, --version      the version\n";
}

bool parseServiceOptions(int argc, char** argv, ServiceOptions& options, std::string& error, bool& done,
                         std::string& output)
{
    done = false;
    // The help is serviceUsage(), written for people; CLI11 reads the line.
    CLI::App app("brennmarkd", "brennmarkd");
    app.set_help_flag();
    bool help = false;
    bool version = false;
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    app.add_flag("-v,--verbose", options.verbose);
    // A value given empty is no value.
    const CLI::Validator given([](std::string& value) { return value.empty() ? std::string("needs a value") : std::string(); },
                               "", "given");
    const auto text = [&](const char* name, std::string& into) { return app.add_option(name, into)->check(given); };
    text("--port", options.port);
    text("--socket", options.socketPath);
    std::string mode;
    text("--socket-mode", mode);
    text("--listen", options.listen);
    text("--token-file", options.tokenFile);
    text("--endpoint-file", options.endpointFile);
    text("--http", options.http);
    app.add_option("--http-host", options.httpHosts)->check(given)->take_all()->expected(1)->multi_option_policy(
        CLI::MultiOptionPolicy::TakeAll);
    text("--trace", options.traceFile);
    text("--capture", options.captureFile);
    app.add_flag("--capture-redact", options.captureRedact);
    std::string maxVolume;
    text("--max-volume", maxVolume)->envname("BRENNMARK_MAX_VOLUME");
    addMqttOptions(app, options.mqtt);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    if (help || version) {
        output = help ? serviceUsage() : "brennmarkd 1.02\n";
        done = true;
        return true;
    }
    if (!mode.empty()) {
        char* end = nullptr;
        const unsigned long m = std::strtoul(mode.c_str(), &end, 8);
        if (*end != '\0' || m > 0777 || (m & 0600) != 0600) {
            error = "--socket-mode takes an octal mode with read and write for the owner (0600, 0660)";
            return false;
        }
        options.socketMode = static_cast<unsigned>(m);
    }
    if (!maxVolume.empty()) {
        char* end = nullptr;
        const double cap = std::strtod(maxVolume.c_str(), &end);
        if (*end != '\0' || !std::isfinite(cap)) {
            error = "--max-volume (or BRENNMARK_MAX_VOLUME) takes the highest volume in dB, as -20 or -12.5: " +
                    maxVolume;
            return false;
        }
        options.maxVolume = cap;
    }
    if (options.listen.empty())
        options.listen = defaultServiceListen();
    error = checkListenOptions(options);
    std::string host;
    int port = 0;
    if (error.empty())
        httpAddress(options, host, port, error);
    return error.empty();
}

bool httpAddress(const ServiceOptions& options, std::string& host, int& port, std::string& error)
{
    host.clear();
    port = 0;
    std::string text = options.http;
    if (text.empty()) {
        const char* env = std::getenv("BRENNMARK_HTTP");
        text = env ? env : "";
    }
    if (text.empty())
        return true;
    // A port alone is loopback: other addresses only when named.
    if (text.find_first_not_of("0123456789") == std::string::npos)
        text = "127.0.0.1:" + text;
    if (!splitHostPort(text, host, port)) {
        error = "--http takes [ADDRESS:]PORT";
        host.clear();
        return false;
    }
    return true;
}

std::string portOverride(const ServiceOptions& options)
{
    if (!options.port.empty())
        return options.port;
    const char* env = std::getenv("BRENNMARK_PORT");
    return env ? env : "";
}

bool splitHostPort(const std::string& text, std::string& host, int& port)
{
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(portText.c_str());
    return port >= 0 && port <= 65535;
}

bool isLoopbackHost(const std::string& host)
{
    if (host == "localhost" || host == "::1")
        return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return false;
}

std::string checkListenOptions(const ServiceOptions& options)
{
    if (options.listen.empty())
        return (options.tokenFile.empty() || !options.http.empty()) && options.endpointFile.empty()
                   ? ""
                   : "--token-file and --endpoint-file go with --listen";
    std::string host;
    int port = 0;
    if (!splitHostPort(options.listen, host, port))
        return "--listen takes HOST:PORT";
    if (!isLoopbackHost(host) && options.tokenFile.empty())
        return "--listen on " + host + " (not loopback) needs --token-file";
    return "";
}

} // namespace bm::service
