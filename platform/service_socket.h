// Where brennmarkd listens, and how a device name reaches it. "service" is
// the service's default endpoint: on POSIX its Unix socket ("unix:PATH" names
// another socket); on Windows a loopback TCP port whose address and token the
// service publishes in its endpoint file. Either gives a line that speaks the
// unit's own protocol (the service passes it to the unit).
#pragma once

#include <string>

namespace bm {

inline constexpr const char* kServiceDevice = "service";
inline constexpr const char* kUnixScheme = "unix:";
// The system unit's socket (group dialout, 0660).
inline constexpr const char* kSystemServiceSocket = "/run/brennmark/brennmarkd.sock";
// The service's TCP port where it has no Unix socket (Windows).
inline constexpr int kServiceDefaultPort = 7300;

// True for "service", and "unix:PATH" on POSIX.
bool isServiceDevice(const std::string& device);
// The user's socket: $XDG_RUNTIME_DIR/brennmark/brennmarkd.sock, or
// /tmp/brennmark-UID/brennmarkd.sock without XDG_RUNTIME_DIR. Empty on Windows.
std::string defaultServiceSocketPath();
// The socket a service device name means: PATH for "unix:PATH"; for "service"
// the user's socket, or the system one when only that exists. On Windows the
// endpoint file.
std::string serviceSocketPath(const std::string& device);
// True when a service socket (on Windows: the endpoint file) of `device`
// ("service" when empty) exists.
bool serviceSocketExists(const std::string& device = kServiceDevice);

// The service's endpoint over TCP, as its endpoint file holds it: the
// address on the first line ("127.0.0.1:7300"), the token on the second.
struct ServiceEndpoint {
    std::string host;
    int port = 0;
    std::string token;
};
// Where the service listens by default: "127.0.0.1:7300" on Windows, "" on
// POSIX (the Unix socket).
std::string defaultServiceListen();
// The endpoint file by default: %LOCALAPPDATA%\Brennmark\brennmarkd.token on
// Windows, "" on POSIX (none).
std::string defaultServiceEndpointPath();
std::string formatServiceEndpoint(const ServiceEndpoint& endpoint);
// False with the reason for a file that is not an endpoint.
bool parseServiceEndpoint(const std::string& text, ServiceEndpoint& endpoint, std::string& error);
bool readServiceEndpoint(const std::string& path, ServiceEndpoint& endpoint, std::string& error);
// The web remote's address and token (the endpoint file's format), beside
// the service's socket (on Windows beside its endpoint file): brennmarkd
// --http writes it, brennmark-cli web reads it.
std::string webEndpointPath(const std::string& socketPath);

// The line a client sends first: {"op":"auth","token":"..."} and a newline.
std::string serviceAuthRequest(const std::string& token);
// True when the service's answer line accepts it ({"reply":"auth"}).
bool serviceAuthAccepted(const std::string& line);

} // namespace bm
