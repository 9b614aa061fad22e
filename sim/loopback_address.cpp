// The simulated unit's listening address: HOST:PORT on a loopback address only.
#include "sim/tcp_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace bm::sim {

bool parseLoopbackAddress(const std::string& hostAndPort, std::string& host, int& port, std::string& error)
{
    std::string portText;
    if (!hostAndPort.empty() && hostAndPort.front() == '[') {
        const auto close = hostAndPort.find(']');
        if (close == std::string::npos || close + 1 >= hostAndPort.size() || hostAndPort[close + 1] != ':') {
            error = "expected HOST:PORT";
            return false;
        }
        host = hostAndPort.substr(1, close - 1);
        portText = hostAndPort.substr(close + 2);
    } else {
        const auto colon = hostAndPort.rfind(':');
        if (colon == std::string::npos) {
            // A bare port number serves on 127.0.0.1.
            host = "127.0.0.1";
            portText = hostAndPort;
        } else {
            host = hostAndPort.substr(0, colon);
            portText = hostAndPort.substr(colon + 1);
        }
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(portText) > 65535) {
        error = "expected HOST:PORT with a port 0..65535";
        return false;
    }
    port = std::stoi(portText);
    if (host.empty() || host == "localhost")
        host = "127.0.0.1";
    in_addr v4{};
    in6_addr v6{};
    const bool loopback = (::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) ||
                          (::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6));
    if (!loopback) {
        error = "the simulated unit serves on loopback addresses only (127.0.0.1, ::1), not " + host;
        return false;
    }
    return true;
}

} // namespace bm::sim
