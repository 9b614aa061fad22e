// The service's sockets, one thin layer per platform: POSIX sockets, poll,
// an eventfd and a signalfd (service_io_posix.cpp), or Winsock, WSAPoll, a
// loopback datagram socket and the console's control handler
// (service_io_win32.cpp). The socket loop in service.cpp sees only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bm::service::io {

// A socket: a descriptor on POSIX, a SOCKET on Windows.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Whether the platform serves a local (Unix) socket beside the TCP listener.
// Without one (Windows), the service's own endpoint is a loopback TCP port
// with a token.
#ifdef _WIN32
inline constexpr bool kLocalSockets = false;
#else
inline constexpr bool kLocalSockets = true;
#endif

// Before any thread starts: on POSIX SIGTERM and SIGINT are blocked (the loop
// reads them as StopSignals) and SIGPIPE ignored; on Windows Winsock starts.
void prepareProcess();

// One socket to watch and what it was found ready for.
struct Watch {
    Socket socket = kNoSocket; // kNoSocket: ignored
    bool read = false;
    bool write = false;
    bool readable = false; // bytes, a connection to accept, or the peer's close
    bool writable = false;
    bool failed = false; // hung up, in error or no longer valid: the read finds out which
};
// Waits at most `timeoutMs` (-1: no limit) for one of `watches` to be ready.
// False when the wait itself failed (an interruption is not a failure).
bool waitSockets(std::vector<Watch>& watches, int timeoutMs);

// A client waiting on `listener`, non-blocking and not inherited by child
// processes; kNoSocket when none is waiting.
Socket acceptClient(Socket listener);
// What a send or receive did: a count moved, or one of these.
inline constexpr long kWouldBlock = -1;
inline constexpr long kFailed = -2;
// Sends what the socket takes at once (never a signal for a closed peer).
long sendSome(Socket s, const char* data, std::size_t length);
// Receives what is there: a count, 0 for the peer's close, kWouldBlock or kFailed.
long receiveSome(Socket s, char* buffer, std::size_t capacity);
// The last failed call's reason, in words.
std::string lastError();
void closeSocket(Socket s);

// A non-blocking TCP listener on HOST:PORT (port 0: any free one); the port
// it got in `boundPort`.
bool listenTcp(const std::string& host, int port, Socket& out, int& boundPort, std::string& error);
// A Unix socket at `path` with `mode` (its folder made, 0700, when
// `makeFolder`); a stale socket there is replaced, a live service's is not.
// Not available where kLocalSockets is false.
bool listenLocal(const std::string& path, unsigned mode, bool makeFolder, Socket& out, std::string& error);
// Deletes a file or a Unix socket.
void removeFile(const std::string& path);

// Ends the loop's wait from any thread.
class Wakeup {
public:
    Wakeup() = default;
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    bool open(std::string& error);
    // Any thread.
    void raise();
    // The loop's thread, once woken.
    void drain();
    Socket socket() const { return read_; }

private:
    Socket read_ = kNoSocket;
    Socket write_ = kNoSocket; // POSIX: the same eventfd
};

// The requests to stop from outside: SIGTERM and SIGINT on POSIX (blocked by
// prepareProcess and read here), Ctrl+C, Ctrl+Break and the console's close
// on Windows. One instance at a time.
class StopSignals {
public:
    StopSignals() = default;
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool open();
    // Readable when a stop was asked for.
    Socket socket() const { return socket_; }
    // The loop's thread, once readable: what asked ("SIGTERM", "Ctrl+C", ...).
    std::string take();
    // The service has said goodbye to the unit: a console that is closing
    // (Windows) may end the process now.
    void finished();

private:
    Socket socket_ = kNoSocket;
};

// `bytes` random bytes from the system's cryptographic source, as lower-case
// hexadecimal; empty when the source failed.
std::string randomHex(std::size_t bytes);

// Writes `text` to `path`, replacing it, readable by the user alone where
// the platform lets a program say so (POSIX 0600; on Windows the file
// inherits the user's own profile folder's access).
bool writePrivateFile(const std::string& path, const std::string& text, std::string& error);
// Reads a file that holds a secret (a token, credentials): `what` names it in
// the errors ("the token file"). Refused unless it is a regular file of at
// most `limit` bytes that, on POSIX, no one but its owner may read or write
// ("chmod 600 it"); a symbolic link is not followed. On Windows the file's
// access is the folder's, and only the type and size are checked.
bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error);
// Makes `dir` and its parents.
bool makeFolders(const std::string& dir, std::string& error);

} // namespace bm::service::io
