// askService over the service's loopback TCP endpoint: the address and token
// come from its endpoint file; the token goes first, then the request.
#include "platform/service_client.h"

#include "platform/service_socket.h"
#include "platform/tcp_serial.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>

namespace bm {
namespace {

using Clock = std::chrono::steady_clock;

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

struct Socket {
    SOCKET s = INVALID_SOCKET;
    ~Socket()
    {
        if (s != INVALID_SOCKET)
            ::closesocket(s);
    }
};

bool sendAll(SOCKET s, const std::string& text, Clock::time_point deadline)
{
    for (std::size_t sent = 0; sent < text.size();) {
        WSAPOLLFD p{s, POLLWRNORM, 0};
        if (::WSAPoll(&p, 1, msLeft(deadline)) <= 0)
            return false;
        const int n = ::send(s, text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (::WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
    }
    return true;
}

// One line (without its newline); false on close, error or the deadline.
// A byte at a time: the token's answer is followed by the request's.
bool readLine(SOCKET s, std::string& line, Clock::time_point deadline, bool& closed)
{
    line.clear();
    for (;;) {
        WSAPOLLFD p{s, POLLRDNORM, 0};
        if (::WSAPoll(&p, 1, msLeft(deadline)) <= 0)
            return false;
        char c = 0;
        const int n = ::recv(s, &c, 1, 0);
        if (n == 0) {
            closed = true;
            return false;
        }
        if (n < 0) {
            if (::WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            closed = true;
            return false;
        }
        if (c == '\n')
            return true;
        line += c;
    }
}

} // namespace

bool askService(const std::string& device, const std::string& request, std::string& reply, std::string& error,
                int limitMs)
{
    ServiceEndpoint endpoint;
    if (!readServiceEndpoint(serviceSocketPath(device), endpoint, error))
        return false;
    if (!startWinsock()) {
        error = "Winsock is not available";
        return false;
    }
    std::vector<ResolvedAddress> found;
    if (!resolveTcpAddress(endpoint.host, std::to_string(endpoint.port), found, error))
        return false;
    const auto connectBy = Clock::now() + std::chrono::milliseconds(TcpSerialPort::kConnectTimeoutMs);
    Socket socket;
    for (const ResolvedAddress& a : found) {
        Socket tried;
        tried.s = ::socket(a.family, a.socketType, a.protocol);
        if (tried.s == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ::ioctlsocket(tried.s, FIONBIO, &nonBlocking);
        if (::connect(tried.s, reinterpret_cast<const sockaddr*>(a.address.data()), static_cast<int>(a.address.size())) !=
                0 &&
            ::WSAGetLastError() != WSAEWOULDBLOCK)
            continue;
        WSAPOLLFD p{tried.s, POLLWRNORM, 0};
        int soError = 0;
        int size = sizeof soError;
        if (::WSAPoll(&p, 1, msLeft(connectBy)) <= 0 ||
            ::getsockopt(tried.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size) != 0 || soError != 0)
            continue;
        std::swap(socket.s, tried.s);
        break;
    }
    if (socket.s == INVALID_SOCKET) {
        error = "brennmarkd at " + endpoint.host + ":" + std::to_string(endpoint.port) + ": cannot connect";
        return false;
    }
    const auto authBy = Clock::now() + std::chrono::milliseconds(TcpSerialPort::kConnectTimeoutMs);
    std::string line;
    bool closed = false;
    if (!sendAll(socket.s, serviceAuthRequest(endpoint.token), authBy) || !readLine(socket.s, line, authBy, closed)) {
        error = closed ? "brennmarkd refused the token (is its endpoint file from an earlier run?)"
                       : "brennmarkd did not answer the token";
        return false;
    }
    if (!serviceAuthAccepted(line)) {
        error = "brennmarkd refused the token: " + line;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    if (!sendAll(socket.s, request + "\n", deadline)) {
        error = "the service did not take the request";
        return false;
    }
    if (!readLine(socket.s, reply, deadline, closed)) {
        error = closed ? "the service closed the connection without answering" : "the service did not answer";
        return false;
    }
    return true;
}

} // namespace bm
