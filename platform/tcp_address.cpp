// The "tcp://HOST:PORT" device names and the bounded name lookup, shared by the
// POSIX and the Winsock line.
#include "platform/tcp_serial.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace bm {
namespace {

std::string gaiText(int rc)
{
#ifdef _WIN32
    return "error " + std::to_string(rc);
#else
    return ::gai_strerror(rc);
#endif
}

} // namespace

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

bool resolveTcpAddress(const std::string& host, const std::string& service, std::vector<ResolvedAddress>& out,
                       std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = gaiText(rc);
        return false;
    }
    out.clear();
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
        out.push_back({a->ai_family, a->ai_socktype, a->ai_protocol, {bytes, bytes + a->ai_addrlen}});
    }
    ::freeaddrinfo(found);
    return true;
}

bool resolveWithin(const TcpResolver& resolver, const std::string& host, const std::string& service,
                   int limitMs, std::vector<ResolvedAddress>& out, std::string& error)
{
    // Shared with the worker, which may outlive this call (and the port).
    struct Lookup {
        std::mutex mutex; // guards everything below
        std::condition_variable done;
        bool finished = false;
        bool found = false;
        std::vector<ResolvedAddress> addresses;
        std::string error;
    };
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, resolver, host, service] {
            std::vector<ResolvedAddress> addresses;
            std::string error;
            const bool found = resolver(host, service, addresses, error);
            std::lock_guard lock(lookup->mutex);
            lookup->found = found;
            lookup->addresses = std::move(addresses);
            lookup->error = std::move(error);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        error = "cannot start the name lookup";
        return false;
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return lookup->finished; })) {
        error = "the name lookup of " + host + " timed out";
        return false;
    }
    if (!lookup->found) {
        error = lookup->error.empty() ? "the name lookup of " + host + " failed" : lookup->error;
        return false;
    }
    out = std::move(lookup->addresses);
    return true;
}

} // namespace bm
