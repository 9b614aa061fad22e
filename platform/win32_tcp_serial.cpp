// TcpSerialPort over Winsock: a non-blocking socket with the same bounds as the
// COM port (a write may take 100 ms plus 3 ms a byte). The reader waits on the
// socket's event (WSAEventSelect: FD_READ, FD_CLOSE) beside its wake-up.
// "service" is brennmarkd's endpoint: the address and token its endpoint file
// names; the token is sent first, and after the service's reply the line
// carries the unit's frames.
#include "platform/tcp_serial.h"

#include "platform/service_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace bm {
namespace {

using Clock = std::chrono::steady_clock;

DWORD writeBoundMs(std::size_t length)
{
    return static_cast<DWORD>(100 + 3 * length);
}

// Winsock is started once for the process and left running.
bool startWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string socketError(int error)
{
    switch (error) {
    case WSAECONNREFUSED:
        return "Connection refused";
    case WSAETIMEDOUT:
        return "Connection timed out";
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
        return "No route to host";
    default:
        return "socket error " + std::to_string(error);
    }
}

// Connects the non-blocking socket `s` within the time left before `deadline`.
bool connectWithin(SOCKET s, const sockaddr* address, int length, Clock::time_point deadline, int& error)
{
    if (::connect(s, address, length) == 0)
        return true;
    error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    WSAPOLLFD p{s, POLLWRNORM, 0};
    const int r = ::WSAPoll(&p, 1, static_cast<INT>(std::max<long long>(0, left.count())));
    if (r <= 0) {
        error = r == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
        return false;
    }
    int soError = 0;
    int size = sizeof soError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size) != 0)
        soError = ::WSAGetLastError();
    error = soError;
    return soError == 0 && (p.revents & (POLLERR | POLLHUP)) == 0;
}

// Waits until `s` is ready for `events` or `deadline` passes.
bool readyWithin(SOCKET s, SHORT events, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    WSAPOLLFD p{s, events, 0};
    return ::WSAPoll(&p, 1, static_cast<INT>(std::max<long long>(0, left.count()))) > 0;
}

// Sends the service its token and reads its one-line answer, a byte at a
// time so that nothing after the line is taken from the frames that follow.
bool authenticate(SOCKET s, const std::string& token, Clock::time_point deadline, std::string& error)
{
    const std::string request = serviceAuthRequest(token);
    std::size_t sent = 0;
    while (sent < request.size()) {
        const int n = ::send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (::WSAGetLastError() != WSAEWOULDBLOCK || !readyWithin(s, POLLWRNORM, deadline)) {
            error = "brennmarkd did not take the token";
            return false;
        }
    }
    std::string line;
    while (line.size() < 4096) {
        char c = 0;
        const int n = ::recv(s, &c, 1, 0);
        if (n == 1) {
            if (c == '\n')
                break;
            line += c;
        } else if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK || !readyWithin(s, POLLRDNORM, deadline)) {
            error = n == 0 ? "brennmarkd refused the token (is its endpoint file from an earlier run?)"
                           : "brennmarkd did not answer the token";
            return false;
        }
    }
    if (!serviceAuthAccepted(line)) {
        error = "brennmarkd refused the token: " + line;
        return false;
    }
    return true;
}

} // namespace

TcpSerialPort::TcpSerialPort(std::string device, TcpResolver resolver, int resolveLimitMs)
    : device_(std::move(device)),
      resolver_(resolver ? std::move(resolver) : TcpResolver(resolveTcpAddress)),
      resolveLimitMs_(resolveLimitMs)
{
    startWinsock();
    socketEvent_ = ::WSACreateEvent();
    writeEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TcpSerialPort::~TcpSerialPort()
{
    close();
    ::WSACloseEvent(static_cast<WSAEVENT>(socketEvent_));
    ::CloseHandle(static_cast<HANDLE>(writeEvent_));
}

bool TcpSerialPort::open(int /*portNumber*/)
{
    std::unique_lock lock(fdMutex_);
    if (fd_.load() != kNoSocket) {
        openError_ = "the port is already open";
        return false;
    }
    openError_.clear();
    std::string host;
    int port = 0;
    const bool service = isServiceDevice(device_);
    ServiceEndpoint endpoint;
    if (service) {
        if (!readServiceEndpoint(serviceSocketPath(device_), endpoint, openError_))
            return false;
        host = endpoint.host;
        port = endpoint.port;
    } else if (!parseTcpDevice(device_, host, port)) {
        openError_ = "not a tcp://HOST:PORT address";
        return false;
    }
    if (!startWinsock()) {
        openError_ = "Winsock is not available";
        return false;
    }
    // The name lookup has a bound of its own, like the connect.
    std::vector<ResolvedAddress> found;
    std::string lookupError;
    if (!resolveWithin(resolver_, host, std::to_string(port), resolveLimitMs_, found, lookupError)) {
        openError_ = "cannot resolve " + host + " (" + lookupError + ")";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    SOCKET s = INVALID_SOCKET;
    int error = WSAECONNREFUSED;
    for (const ResolvedAddress& a : found) {
        if (s != INVALID_SOCKET)
            break;
        s = ::socket(a.family, a.socketType, a.protocol);
        if (s == INVALID_SOCKET) {
            error = ::WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        if (!connectWithin(s, reinterpret_cast<const sockaddr*>(a.address.data()),
                           static_cast<int>(a.address.size()), deadline, error)) {
            ::closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    if (s == INVALID_SOCKET) {
        openError_ = (service ? "brennmarkd at " + host + ":" + std::to_string(port) + ": " : std::string()) +
                     socketError(error);
        return false;
    }
    if (service && !authenticate(s, endpoint.token, Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs),
                                 openError_)) {
        ::closesocket(s);
        return false;
    }
    // Packets are small and paced; each should leave at once, as on a wire.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // The event tells the reader of bytes and of the peer's close; the socket
    // stays non-blocking.
    ::WSAResetEvent(static_cast<WSAEVENT>(socketEvent_));
    ::WSAEventSelect(s, static_cast<WSAEVENT>(socketEvent_), FD_READ | FD_CLOSE);

    lost_ = false;
    lastWriteLength_ = 0;
    fd_ = s;
    return true;
}

std::string TcpSerialPort::openError() const
{
    std::shared_lock lock(fdMutex_);
    return openError_;
}

bool TcpSerialPort::isOpen() const
{
    return fd_.load() != kNoSocket;
}

void TcpSerialPort::close()
{
    std::unique_lock lock(fdMutex_);
    const Socket s = fd_.exchange(kNoSocket);
    if (s != kNoSocket)
        ::closesocket(static_cast<SOCKET>(s));
}

unsigned TcpSerialPort::waitForBytes(WakeSignal& wake, int timeoutMs)
{
    std::shared_lock lock(fdMutex_);
    const Socket s = fd_.load();
    if (s == kNoSocket)
        return kLineCannotWait;
    if (lost_.load())
        return kLineHungUp;
    // Bytes already there need no wait: FD_READ is signalled again only after
    // a recv, so a wait could otherwise sleep on unread bytes.
    u_long queued = 0;
    if (::ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &queued) == 0 && queued > 0)
        return kLineReadable;
    const HANDLE both[2] = {static_cast<HANDLE>(socketEvent_), reinterpret_cast<HANDLE>(wake.native())};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(std::max(timeoutMs, 0)));
    if (r == WAIT_OBJECT_0) {
        WSANETWORKEVENTS events{};
        ::WSAEnumNetworkEvents(static_cast<SOCKET>(s), static_cast<WSAEVENT>(socketEvent_), &events);
        unsigned result = kLineIdle;
        if (events.lNetworkEvents & FD_READ)
            result |= kLineReadable;
        if (events.lNetworkEvents & FD_CLOSE)
            result |= kLineReadable | kLineHungUp; // the read finds the close
        return result;
    }
    return r == WAIT_OBJECT_0 + 1 ? kLineWoken : kLineIdle;
}

std::size_t TcpSerialPort::readAvailable(std::uint8_t* buffer, std::size_t capacity)
{
    std::shared_lock lock(fdMutex_);
    const Socket s = fd_.load();
    if (s == kNoSocket || capacity == 0 || lost_.load())
        return 0;
    const int n = ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer),
                         static_cast<int>(std::min<std::size_t>(capacity, 1 << 20)), 0);
    if (n > 0)
        return static_cast<std::size_t>(n);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    // 0 is the peer's orderly close; any other error a reset or a dead route.
    lost_ = true;
    return 0;
}

void TcpSerialPort::startWrite(const std::uint8_t* data, std::size_t length)
{
    std::shared_lock lock(fdMutex_);
    const Socket s = fd_.load();
    lastWriteLength_ = length;
    if (s == kNoSocket || lost_.load())
        return;
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeBoundMs(length));
    std::size_t done = 0;
    while (done < length) {
        const int n = ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data + done),
                             static_cast<int>(length - done), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            lost_ = true; // reset, aborted: the bridge has gone
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return; // the bridge does not take our bytes; the receiver's time-out recovers
        WSAPOLLFD p{static_cast<SOCKET>(s), POLLWRNORM, 0};
        const int r = ::WSAPoll(&p, 1, static_cast<INT>(left.count()));
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            lost_ = true;
            return;
        }
    }
}

void TcpSerialPort::waitWriteComplete()
{
    // Winsock has no count of unsent bytes; send() has copied them into the
    // stack, and with TCP_NODELAY they leave at once.
}

} // namespace bm
