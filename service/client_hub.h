// brennmarkd's clients as connections: the listeners, each client's socket
// and byte buffers, the limits on how many may connect and how much may wait
// for one, the token a TCP client must present, and the loop that waits on
// all of it. What the bytes mean (the unit's frames, the JSON API, HTTP) is
// the handler's: the hub hands it a client's bytes as they arrive and sends
// what it gives back. One thread (the one in run()) does all of this; other
// threads only wake() it.
#pragma once

#include "service/service_io.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bm::service {

// Bytes that may wait for one client before it counts as not reading.
inline constexpr std::size_t kMaxOutput = 1024 * 1024;
// The most clients at once; later ones are refused.
inline constexpr int kMaxClients = 64;
// TCP clients apart from those: at most this many in all, of which at most
// kMaxUnauthenticated have not sent their token yet; each gets
// kAuthLimitMs to send it.
inline constexpr int kMaxTcpClients = 32;
inline constexpr int kMaxUnauthenticated = 8;
inline constexpr int kAuthLimitMs = 5000;

// Which listener a client came through.
enum class Listener { Local, Tcp, Web };

// One client as the hub keeps it; the handler's own state for it derives
// from this (ClientHandler::connection).
struct Connection {
    virtual ~Connection() = default;

    std::uint64_t id = 0;
    io::Socket fd = io::kNoSocket;
    Listener from = Listener::Local;
    bool authorized = true;
    bool closing = false; // closes once its output has gone
    // Since when a request is unfinished (the handler sets it; zero: none):
    // past Limits::requestMs the client is closed.
    std::chrono::steady_clock::time_point since{};
    std::chrono::steady_clock::time_point authBy{}; // an unauthorized TCP client's deadline
    std::string in;  // received, not yet taken by the handler
    std::string out; // waiting to be sent
};

// Why the hub turns a client away before the handler has seen it.
enum class Refusal { Overloaded, NoToken };

class ClientHandler {
public:
    virtual ~ClientHandler() = default;
    // A new client's state, before its first byte.
    virtual std::unique_ptr<Connection> connection(Listener from) = 0;
    // New bytes are in c.in. The handler takes what it can; it may send,
    // close (after which c is gone) or leave bytes for later.
    virtual void received(Connection& c) = 0;
    // Whether c's socket is read now (the hub never reads a closing client).
    virtual bool reading(const Connection& c) = 0;
    // Another thread called wake().
    virtual void woken() = 0;
    // The last words to a client turned away ("overloaded", or no token in
    // time); `text` says why.
    virtual std::string refusal(Refusal why, const std::string& text) = 0;
};

class ClientHub {
public:
    struct Limits {
        std::size_t maxOutput = kMaxOutput;
        int maxClients = kMaxClients;
        int maxTcpClients = kMaxTcpClients;
        int maxUnauthenticated = kMaxUnauthenticated;
        int authMs = kAuthLimitMs;
        int maxWebClients = 0;
        int requestMs = 0; // 0: a request may take as long as it likes
    };

    ClientHub(ClientHandler& handler, Limits limits, std::function<void(const std::string&)> log);
    ~ClientHub();
    ClientHub(const ClientHub&) = delete;
    ClientHub& operator=(const ClientHub&) = delete;

    // The wake-up; before run() and before any thread may wake().
    bool open(std::string& error);
    // The listeners. A Unix socket is removed again when the hub goes.
    bool listenLocal(const std::string& path, unsigned mode, bool makeFolder, std::string& error);
    bool listenTcp(Listener kind, const std::string& host, int port, int& boundPort, std::string& reason);

    // The token a TCP client must present first (empty: none).
    void setToken(std::string token) { token_ = std::move(token); }
    const std::string& token() const { return token_; }
    // Checks `token` in full; the client is authorized when it matches.
    bool authenticate(Connection& c, const std::string& token);

    // Serves until stop() or, when `handleSignals` is set, a request to stop
    // from outside; then closes every client. Returns 0, or 1 when the sockets
    // failed (waiting on them, or a listening socket).
    int run(bool handleSignals);
    // After run(): the service has finished (a closing console may end now).
    void finished();
    // Any thread.
    void stop();
    void wake();

    // The loop's thread: queues bytes for c; false when that closed it (not
    // reading).
    bool send(Connection& c, const std::string& bytes);
    void close(Connection& c, const std::string& why);
    Connection* find(std::uint64_t id);
    bool has(std::uint64_t id) const { return clients_.count(id) != 0; }
    std::vector<std::uint64_t> ids() const;
    // Any thread.
    std::size_t count() const { return count_.load(); }

private:
    void accept(Listener kind);
    int dropLateClients();
    int dropStalledClients();
    void readClient(Connection& c);
    void writeClient(Connection& c);
    io::Socket& listener(Listener kind) { return listeners_[static_cast<int>(kind)]; }

    ClientHandler& handler_;
    Limits limits_;
    std::function<void(const std::string&)> log_;
    io::Socket listeners_[3] = {io::kNoSocket, io::kNoSocket, io::kNoSocket};
    std::string localPath_; // made by this hub, removed at the end
    io::Wakeup wakeup_;
    io::StopSignals signals_;
    std::string token_;
    std::map<std::uint64_t, std::unique_ptr<Connection>> clients_;
    std::uint64_t nextId_ = 1;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> stopping_{false};
};

} // namespace bm::service
