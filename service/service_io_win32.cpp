// The service's sockets on Windows: Winsock with WSAPoll; the wake-up and the
// stop requests are loopback datagram sockets that send to themselves, so the
// one WSAPoll wait sees them beside the clients. Ctrl+C, Ctrl+Break and the
// console's close come through SetConsoleCtrlHandler: the first is the
// service's to handle (the clients closed, the goodbye to the unit), and for
// the console's close the handler holds the process until that is done,
// within the time Windows allows; a second ends the process at once, as a
// second signal does elsewhere.
#include "service/service_io.h"
#include "platform/file_access.h"
#include "platform/win32_text.h"

#include "platform/termination.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace bm::service::io {
namespace {

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

void makeNonBlocking(SOCKET s)
{
    u_long one = 1;
    ::ioctlsocket(s, FIONBIO, &one);
}

// A datagram socket on loopback, connected to itself: a byte sent to it makes
// it readable.
SOCKET selfSocket(std::string& error)
{
    if (!startWinsock()) {
        error = "Winsock is not available";
        return INVALID_SOCKET;
    }
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = "socket: " + win32::systemErrorText(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "loopback socket: " + win32::systemErrorText(::WSAGetLastError());
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    makeNonBlocking(s);
    return s;
}

void drainSelf(Socket s)
{
    char buffer[64];
    while (::recv(static_cast<SOCKET>(s), buffer, sizeof buffer, 0) > 0) {
    }
}

// The console's control events.
std::atomic<int> gStops{0};
std::atomic<DWORD> gEvent{0};
std::atomic<SOCKET> gStopSocket{INVALID_SOCKET};
HANDLE gFinished = nullptr; // set once the service has said goodbye

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (gStops.fetch_add(1) == 0) {
        gEvent = event;
        const char byte = 1;
        ::send(gStopSocket.load(), &byte, 1, 0);
        // The process ends as soon as this returns from the console's close, a
        // log-off or a shutdown: the goodbye is waited for first, within the
        // five seconds Windows gives.
        if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
            ::WaitForSingleObject(gFinished, 4500);
        return TRUE;
    }
    giveLastWords();
    std::_Exit(forcedExitStatus(event == CTRL_C_EVENT ? SIGINT : SIGTERM));
}

} // namespace

void prepareProcess()
{
    startWinsock();
}

bool waitSockets(std::vector<Watch>& watches, int timeoutMs)
{
    std::vector<WSAPOLLFD> fds;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < watches.size(); ++i) {
        Watch& w = watches[i];
        w.readable = w.writable = w.failed = false;
        if (w.socket == kNoSocket)
            continue;
        fds.push_back({static_cast<SOCKET>(w.socket),
                       static_cast<SHORT>((w.read ? POLLRDNORM : 0) | (w.write ? POLLWRNORM : 0)), 0});
        index.push_back(i);
    }
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) == SOCKET_ERROR)
        return false;
    for (std::size_t k = 0; k < fds.size(); ++k) {
        Watch& w = watches[index[k]];
        w.readable = (fds[k].revents & (POLLRDNORM | POLLRDBAND)) != 0;
        w.writable = (fds[k].revents & POLLWRNORM) != 0;
        w.failed = (fds[k].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return true;
}

Socket acceptClient(Socket listener)
{
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    makeNonBlocking(s);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // Frames are small and paced; each answer should leave at once.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(s);
}

long sendSome(Socket s, const char* data, std::size_t length)
{
    const int n = ::send(static_cast<SOCKET>(s), data, static_cast<int>(std::min<std::size_t>(length, 1 << 20)), 0);
    if (n >= 0)
        return n;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

long receiveSome(Socket s, char* buffer, std::size_t capacity)
{
    const int n = ::recv(static_cast<SOCKET>(s), buffer, static_cast<int>(std::min<std::size_t>(capacity, 1 << 20)), 0);
    if (n >= 0)
        return n;
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? kWouldBlock : kFailed;
}

std::string lastError()
{
    return win32::systemErrorText(static_cast<DWORD>(::WSAGetLastError()));
}

void closeSocket(Socket s)
{
    if (s != kNoSocket)
        ::closesocket(static_cast<SOCKET>(s));
}

bool listenTcp(const std::string& host, int port, Socket& out, int& boundPort, std::string& error)
{
    out = kNoSocket;
    if (!startWinsock()) {
        error = "Winsock is not available";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
        error = win32::systemErrorText(static_cast<DWORD>(rc));
        return false;
    }
    for (addrinfo* a = found; a && out == kNoSocket; a = a->ai_next) {
        const SOCKET s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                      WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET)
            continue;
        // No other program may take the port over while the service has it.
        const BOOL one = TRUE;
        ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
        if (::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && ::listen(s, 64) == 0) {
            makeNonBlocking(s);
            sockaddr_storage bound{};
            int len = sizeof bound;
            ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len);
            boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            out = static_cast<Socket>(s);
        } else {
            error = win32::systemErrorText(static_cast<DWORD>(::WSAGetLastError()));
            ::closesocket(s);
        }
    }
    ::freeaddrinfo(found);
    return out != kNoSocket;
}

bool listenLocal(const std::string& path, unsigned, bool, Socket& out, std::string& error)
{
    out = kNoSocket;
    error = "no Unix sockets on Windows: " + path;
    return false;
}

void removeFile(const std::string& path)
{
    ::DeleteFileW(win32::widenUtf8(path).c_str());
}

Wakeup::~Wakeup()
{
    closeSocket(read_);
}

bool Wakeup::open(std::string& error)
{
    const SOCKET s = selfSocket(error);
    if (s == INVALID_SOCKET)
        return false;
    read_ = write_ = static_cast<Socket>(s);
    return true;
}

void Wakeup::raise()
{
    const char byte = 1;
    if (write_ != kNoSocket)
        ::send(static_cast<SOCKET>(write_), &byte, 1, 0);
}

void Wakeup::drain()
{
    drainSelf(read_);
}

StopSignals::~StopSignals()
{
    gStopSocket = INVALID_SOCKET;
    closeSocket(socket_);
}

bool StopSignals::open()
{
    std::string error;
    const SOCKET s = selfSocket(error);
    if (s == INVALID_SOCKET)
        return false;
    socket_ = static_cast<Socket>(s);
    if (gFinished == nullptr)
        gFinished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gStopSocket = s;
    return ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

std::string StopSignals::take()
{
    drainSelf(socket_);
    switch (gEvent.load()) {
    case CTRL_C_EVENT: return "Ctrl+C";
    case CTRL_BREAK_EVENT: return "Ctrl+Break";
    case CTRL_CLOSE_EVENT: return "console closed";
    case CTRL_LOGOFF_EVENT: return "log-off";
    default: return "shutdown";
    }
}

void StopSignals::finished()
{
    if (gFinished != nullptr)
        ::SetEvent(gFinished);
}

std::string randomHex(std::size_t bytes)
{
    std::string raw(bytes, '\0');
    if (::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(raw.data()), static_cast<ULONG>(bytes),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0)
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : raw) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error)
{
    return files::readPrivateFile(path, what, limit, text, error);
}

bool writePrivateFile(const std::string& path, const std::string& text, std::string& error)
{
    // Access for this user alone (a protected DACL naming the user's SID);
    // where that cannot be made, the file inherits the folder's access (the
    // user's own profile).
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        alignas(TOKEN_USER) char buffer[256];
        DWORD length = 0;
        wchar_t* sid = nullptr;
        if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
            ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
            const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
            if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                        nullptr))
                descriptor = nullptr;
            ::LocalFree(sid);
        }
        ::CloseHandle(token);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const std::wstring temporary = win32::widenUtf8(path + ".new");
    const HANDLE h = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, descriptor ? &attributes : nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (descriptor != nullptr)
        ::LocalFree(descriptor);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot write " + path + ".new: " + win32::systemErrorText(::GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    ::CloseHandle(h);
    if (!ok || !::MoveFileExW(temporary.c_str(), win32::widenUtf8(path).c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot write " + path + ": " + win32::systemErrorText(::GetLastError());
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool makeFolders(const std::string& dir, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(win32::widenUtf8(dir)), ec);
    if (ec) {
        error = "cannot make " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace bm::service::io
