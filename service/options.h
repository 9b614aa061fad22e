// brennmarkd's command line.
#pragma once

#include "service/mqtt_options.h"

#include <optional>
#include <string>
#include <vector>

namespace bm::service {

struct ServiceOptions {
    std::string port;       // --port DEVICE (a path or tcp://HOST:PORT); else BRENNMARK_PORT, else stored
    std::string socketPath; // --socket PATH; empty: the user's default socket
    unsigned socketMode = 0600; // --socket-mode MODE (octal; the system unit shares it with a group)
    std::string listen;     // --listen HOST:PORT (TCP clients; on Windows by default 127.0.0.1:7300)
    std::string tokenFile;  // --token-file FILE: the token a TCP client sends first
    // --endpoint-file FILE: where the TCP listener's address and token are
    // written for clients on this machine (a fresh random token when no
    // --token-file is given); empty: the platform's own (Windows:
    // %LOCALAPPDATA%\Brennmark\brennmarkd.token; POSIX: none).
    std::string endpointFile;
    std::string traceFile;  // --trace FILE
    std::string captureFile;    // --capture FILE
    bool captureRedact = false; // --capture-redact
    bool verbose = false;   // -v, --verbose: every packet in the log
    // --max-volume DB, else BRENNMARK_MAX_VOLUME: the highest volume any client may set.
    std::optional<double> maxVolume;
    MqttCommandLine mqtt;   // --mqtt URL and its companions
    // --http [ADDR:]PORT, else BRENNMARK_HTTP: the web remote (address 127.0.0.1
    // unless given); --http-host NAME, repeatable: names the browser may use.
    std::string http;
    std::vector<std::string> httpHosts;
};

// The web remote's address: --http or BRENNMARK_HTTP as HOST and PORT. False
// with `error` when malformed; true with an empty host when neither is given.
bool httpAddress(const ServiceOptions& options, std::string& host, int& port, std::string& error);

// Reads argv (with CLI11). False with `error` for a usage error; `done` is
// set when the run ends with the text in `output` (-h/--help, -V/--version).
bool parseServiceOptions(int argc, char** argv, ServiceOptions& options, std::string& error, bool& done,
                         std::string& output);
std::string serviceUsage();

// The device to open: --port, else BRENNMARK_PORT, else "" (the stored port).
std::string portOverride(const ServiceOptions& options);

// Splits HOST:PORT ("[::1]:PORT" for IPv6). False when malformed.
bool splitHostPort(const std::string& text, std::string& host, int& port);
// True for 127.0.0.0/8, ::1 and "localhost".
bool isLoopbackHost(const std::string& host);

// The --listen rules: a non-loopback address needs a token file. Empty when
// the options are fine, else the reason.
std::string checkListenOptions(const ServiceOptions& options);

} // namespace bm::service
