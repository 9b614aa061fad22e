// SimLine on Windows: a loopback TCP listener and one client at a time, as
// ser2net serves a port. The serving thread waits on the sockets' event
// (WSAEventSelect) and a wake-up event together.
#include "sim/sim_line.h"

#include "sim/tcp_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <thread>

namespace bm::sim {

struct SimLine::Impl {
    SOCKET listener = INVALID_SOCKET;
    SOCKET client = INVALID_SOCKET;
    WSAEVENT socketEvent = WSA_INVALID_EVENT;
    HANDLE wakeEvent = nullptr;
    std::string url;

    void dropClient()
    {
        if (client != INVALID_SOCKET)
            ::closesocket(client);
        client = INVALID_SOCKET;
        if (listener != INVALID_SOCKET)
            ::WSAEventSelect(listener, socketEvent, FD_ACCEPT);
    }

    void acceptClient()
    {
        const SOCKET s = ::accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        // The accepted socket would inherit the listener's selection; the
        // client's own events take the one event object over.
        ::WSAEventSelect(listener, nullptr, 0);
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        const BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        client = s;
        ::WSAEventSelect(client, socketEvent, FD_READ | FD_CLOSE);
    }
};

SimLine::SimLine() : impl_(std::make_unique<Impl>()) {}

SimLine::~SimLine()
{
    close();
}

bool SimLine::open(const std::string& /*linkPath*/, const std::string& listenAddress, std::string& error)
{
    Impl& d = *impl_;
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "Winsock is not available";
        return false;
    }
    std::string host;
    int port = 0;
    if (!parseLoopbackAddress(listenAddress.empty() ? "127.0.0.1:0" : listenAddress, host, port, error))
        return false;
    const bool v6 = host.find(':') != std::string::npos;
    d.listener = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (d.listener == INVALID_SOCKET) {
        error = "cannot make a socket (" + std::to_string(::WSAGetLastError()) + ")";
        return false;
    }
    sockaddr_storage address{};
    int length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<u_short>(port));
        ::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<u_short>(port));
        ::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &a->sin_addr);
        length = sizeof(sockaddr_in);
    }
    // Exclusive: a second simulator on the same port must fail, not share it.
    const BOOL one = TRUE;
    ::setsockopt(d.listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(d.listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(d.listener, 1) != 0) {
        error = "cannot listen on " + listenAddress + " (" + std::to_string(::WSAGetLastError()) + ")";
        close();
        return false;
    }
    ::getsockname(d.listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int bound = v6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                         : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    d.url = "tcp://" + (v6 ? "[" + host + "]" : (host == "localhost" ? std::string("127.0.0.1") : host)) +
            ":" + std::to_string(bound);
    d.socketEvent = ::WSACreateEvent();
    d.wakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ::WSAEventSelect(d.listener, d.socketEvent, FD_ACCEPT);
    return true;
}

void SimLine::close()
{
    hangUp();
    Impl& d = *impl_;
    if (d.socketEvent != WSA_INVALID_EVENT)
        ::WSACloseEvent(d.socketEvent);
    d.socketEvent = WSA_INVALID_EVENT;
    if (d.wakeEvent != nullptr)
        ::CloseHandle(d.wakeEvent);
    d.wakeEvent = nullptr;
}

bool SimLine::renew(std::string& /*error*/)
{
    // The program's connection drops; the listener stays for its next one.
    Impl& d = *impl_;
    if (d.client != INVALID_SOCKET)
        ::closesocket(d.client);
    d.client = INVALID_SOCKET;
    return true;
}

void SimLine::hangUp()
{
    // The cable pulled: the program's connection drops, and nobody is
    // accepted any more.
    Impl& d = *impl_;
    if (d.client != INVALID_SOCKET)
        ::closesocket(d.client);
    if (d.listener != INVALID_SOCKET)
        ::closesocket(d.listener);
    d.client = d.listener = INVALID_SOCKET;
}

bool SimLine::bytesWaiting() const
{
    u_long queued = 0;
    return impl_->client != INVALID_SOCKET && ::ioctlsocket(impl_->client, FIONREAD, &queued) == 0 && queued > 0;
}

unsigned SimLine::wait(int timeoutMs)
{
    Impl& d = *impl_;
    if (d.socketEvent == WSA_INVALID_EVENT)
        return kHungUp;
    if (d.client != INVALID_SOCKET) {
        // FD_READ is signalled again only after a recv: look first.
        u_long queued = 0;
        if (::ioctlsocket(d.client, FIONREAD, &queued) == 0 && queued > 0)
            return kBytes;
    }
    const HANDLE both[2] = {d.socketEvent, d.wakeEvent};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(std::max(timeoutMs, 0)));
    if (r != WAIT_OBJECT_0)
        return kIdle;
    WSANETWORKEVENTS events{};
    if (d.client != INVALID_SOCKET) {
        ::WSAEnumNetworkEvents(d.client, d.socketEvent, &events);
        if (events.lNetworkEvents & FD_READ)
            return kBytes;
        if (events.lNetworkEvents & FD_CLOSE) {
            // The client hung up: the bytes it left are read first, then the next is awaited.
            u_long queued = 0;
            if (::ioctlsocket(d.client, FIONREAD, &queued) == 0 && queued > 0)
                return kBytes;
            d.dropClient();
        }
        return kIdle;
    }
    if (d.listener != INVALID_SOCKET) {
        ::WSAEnumNetworkEvents(d.listener, d.socketEvent, &events);
        if (events.lNetworkEvents & FD_ACCEPT)
            d.acceptClient();
    }
    return kIdle;
}

void SimLine::wake()
{
    if (impl_->wakeEvent != nullptr)
        ::SetEvent(impl_->wakeEvent);
}

long SimLine::read(std::uint8_t* buffer, std::size_t capacity)
{
    Impl& d = *impl_;
    if (d.client == INVALID_SOCKET)
        return 0;
    const int n = ::recv(d.client, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (n > 0)
        return n;
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    d.dropClient(); // closed or reset: wait for the next client
    return 0;
}

bool SimLine::write(const std::uint8_t* data, std::size_t n, std::chrono::steady_clock::time_point deadline,
                    const std::atomic<bool>& stopping)
{
    Impl& d = *impl_;
    if (d.client == INVALID_SOCKET)
        return true; // nobody on the line: the bytes go nowhere, as on a cable with no host
    std::size_t done = 0;
    while (done < n) {
        const int r = ::send(d.client, reinterpret_cast<const char*>(data + done), static_cast<int>(n - done), 0);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            d.dropClient();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline || stopping)
            return false;
        WSAPOLLFD p{d.client, POLLWRNORM, 0};
        ::WSAPoll(&p, 1, 20);
    }
    return true;
}

std::string SimLine::devicePath() const
{
    return impl_->url;
}

std::string SimLine::terminalPath() const
{
    return impl_->url;
}

} // namespace bm::sim
