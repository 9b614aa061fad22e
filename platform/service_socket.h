// Where brennmarkd listens, and how a device name reaches it: "service" is the
// service's default socket, "unix:PATH" a socket at PATH. Both give a line
// that speaks the unit's own protocol (the service passes it to the unit).
#pragma once

#include <string>

namespace bm {

inline constexpr const char* kServiceDevice = "service";
inline constexpr const char* kUnixScheme = "unix:";
// The system unit's socket (group dialout, 0660).
inline constexpr const char* kSystemServiceSocket = "/run/brennmark/brennmarkd.sock";

// True for "service" and "unix:PATH".
bool isServiceDevice(const std::string& device);
// The user's socket: $XDG_RUNTIME_DIR/brennmark/brennmarkd.sock, or
// /tmp/brennmark-UID/brennmarkd.sock without XDG_RUNTIME_DIR.
std::string defaultServiceSocketPath();
// The socket a service device name means: PATH for "unix:PATH"; for "service"
// the user's socket, or the system one when only that exists.
std::string serviceSocketPath(const std::string& device);
// True when a service socket of `device` ("service" when empty) exists.
bool serviceSocketExists(const std::string& device = kServiceDevice);

} // namespace bm
