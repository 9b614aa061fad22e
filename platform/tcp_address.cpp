// The "tcp://HOST:PORT" device names, shared by the POSIX and the Winsock line.
#include "platform/tcp_serial.h"

#include <cstdlib>
#include <cstring>

namespace bm {

bool isTcpDevice(const std::string& device)
{
    return device.rfind(kTcpScheme, 0) == 0;
}

bool parseTcpDevice(const std::string& device, std::string& host, int& port)
{
    if (!isTcpDevice(device))
        return false;
    const std::string rest = device.substr(std::strlen(kTcpScheme));
    std::string portText;
    if (!rest.empty() && rest.front() == '[') { // [v6-address]:port
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(portText.c_str());
    return port >= 1 && port <= 65535;
}

} // namespace bm
