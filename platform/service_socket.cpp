#include "platform/service_socket.h"
#include "platform/win32_text.h"

#include "platform/file_access.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <unistd.h>
#endif

namespace bm {
namespace {

#ifdef _WIN32
// On Windows the endpoint file stands for the socket.
bool isSocket(const std::string& path)
{
    if (path.empty())
        return false;
    const DWORD attributes = ::GetFileAttributesW(win32::widenUtf8(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
#else
bool isSocket(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
#endif

} // namespace

bool isServiceDevice(const std::string& device)
{
#ifdef _WIN32
    return device == kServiceDevice;
#else
    return device == kServiceDevice || device.rfind(kUnixScheme, 0) == 0;
#endif
}

std::string defaultServiceSocketPath()
{
#ifdef _WIN32
    return {};
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/brennmark/brennmarkd.sock";
    return "/tmp/brennmark-" + std::to_string(::getuid()) + "/brennmarkd.sock";
#endif
}

std::string serviceSocketPath(const std::string& device)
{
#ifdef _WIN32
    (void)device;
    return defaultServiceEndpointPath();
#else
    if (device.rfind(kUnixScheme, 0) == 0)
        return device.substr(std::string(kUnixScheme).size());
    const std::string user = defaultServiceSocketPath();
    if (!isSocket(user) && isSocket(kSystemServiceSocket))
        return kSystemServiceSocket;
    return user;
#endif
}

bool serviceSocketExists(const std::string& device)
{
    return isSocket(serviceSocketPath(device.empty() ? kServiceDevice : device));
}

std::string webEndpointPath(const std::string& socketPath)
{
    const auto slash = socketPath.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : socketPath.substr(0, slash + 1)) + "brennmarkd.web";
}

std::string defaultServiceListen()
{
#ifdef _WIN32
    return "127.0.0.1:" + std::to_string(kServiceDefaultPort);
#else
    return {};
#endif
}

std::string defaultServiceEndpointPath()
{
#ifdef _WIN32
    wchar_t* folder = nullptr;
    std::string path;
    if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder) == S_OK)
        path = win32::narrowUtf8(folder);
    ::CoTaskMemFree(folder);
    if (path.empty()) {
        const char* env = std::getenv("LOCALAPPDATA");
        if (env == nullptr || *env == '\0')
            return {};
        path = env;
    }
    return path + "\\Brennmark\\brennmarkd.token";
#else
    return {};
#endif
}

std::string formatServiceEndpoint(const ServiceEndpoint& endpoint)
{
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port) + "\n" +
           endpoint.token + "\n";
}

bool parseServiceEndpoint(const std::string& text, ServiceEndpoint& endpoint, std::string& error)
{
    std::string lines[2];
    std::size_t from = 0;
    for (std::string& line : lines) {
        const auto eol = text.find('\n', from);
        line = text.substr(from, eol == std::string::npos ? std::string::npos : eol - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        from = eol == std::string::npos ? text.size() : eol + 1;
    }
    const std::string& address = lines[0];
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size() || colon + 6 < address.size() ||
        address.find_first_not_of("0123456789", colon + 1) != std::string::npos || lines[1].empty()) {
        error = "not a service endpoint (HOST:PORT, then the token)";
        return false;
    }
    endpoint.host = address.substr(0, colon);
    if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']')
        endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
    endpoint.port = std::atoi(address.c_str() + colon + 1);
    endpoint.token = lines[1];
    if (endpoint.port <= 0 || endpoint.port > 65535) {
        error = "not a service endpoint (bad port)";
        return false;
    }
    return true;
}

bool readServiceEndpoint(const std::string& path, ServiceEndpoint& endpoint, std::string& error)
{
    std::string text;
    std::string reason;
    // The token is a secret: the file is taken only when no one else could
    // have read or written it. One that cannot be opened: no service wrote it.
    if (!files::readPrivateFile(path, "the endpoint file", 4096, text, reason)) {
        error = reason.rfind("cannot open ", 0) == 0 ? "brennmarkd is not running (" + reason + ")" : reason;
        return false;
    }
    if (!parseServiceEndpoint(text, endpoint, reason)) {
        error = path + ": " + reason;
        return false;
    }
    return true;
}

std::string serviceAuthRequest(const std::string& token)
{
    std::string line = R"({"op":"auth","token":")";
    for (const char c : token) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line + "\"}\n";
}

bool serviceAuthAccepted(const std::string& line)
{
    return line.find(R"("reply":"auth")") != std::string::npos && line.find(R"("error")") == std::string::npos;
}

} // namespace bm
