#include "service/client_hub.h"

#include <algorithm>

namespace bm::service {
namespace {

// What one read takes from a client's socket.
constexpr std::size_t kReadChunk = 16 * 1024;

bool sameToken(const std::string& a, const std::string& b)
{
    // Compared in full whatever differs first.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(i < b.size() ? b[i] : 0));
    return diff == 0;
}

int untilNext(std::chrono::milliseconds next)
{
    return next == std::chrono::milliseconds::max() ? -1 : static_cast<int>(next.count()) + 1;
}

} // namespace

ClientHub::ClientHub(ClientHandler& handler, Limits limits, std::function<void(const std::string&)> log)
    : handler_(handler), limits_(limits), log_(std::move(log))
{
}

ClientHub::~ClientHub()
{
    for (auto& [id, c] : clients_)
        io::closeSocket(c->fd);
    clients_.clear();
    for (io::Socket s : listeners_)
        io::closeSocket(s);
    if (!localPath_.empty())
        io::removeFile(localPath_);
}

bool ClientHub::open(std::string& error)
{
    return wakeup_.open(error);
}

bool ClientHub::listenLocal(const std::string& path, unsigned mode, bool makeFolder, std::string& error)
{
    if (!io::listenLocal(path, mode, makeFolder, listener(Listener::Local), error))
        return false;
    localPath_ = path;
    return true;
}

bool ClientHub::listenTcp(Listener kind, const std::string& host, int port, int& boundPort, std::string& reason)
{
    return io::listenTcp(host, port, listener(kind), boundPort, reason);
}

bool ClientHub::authenticate(Connection& c, const std::string& token)
{
    if (!token_.empty() && !sameToken(token, token_))
        return false;
    c.authorized = true;
    return true;
}

void ClientHub::wake()
{
    wakeup_.raise();
}

void ClientHub::stop()
{
    stopping_ = true;
    wake();
}

int ClientHub::run(bool handleSignals)
{
    if (handleSignals && !signals_.open())
        log_("cannot watch for requests to stop: " + io::lastError());
    std::vector<io::Watch> watches;
    std::vector<std::uint64_t> owners;
    // Non-zero when the sockets themselves failed: the service cannot go on,
    // and its supervisor (systemd) is told so by the exit status.
    int status = 0;
    while (!stopping_) {
        const int webDue = dropStalledClients();
        const int authDue = dropLateClients();
        const int due = webDue < 0 ? authDue : authDue < 0 ? webDue : std::min(webDue, authDue);
        watches.clear();
        owners.clear();
        watches.push_back({wakeup_.socket(), true});
        watches.push_back({signals_.socket(), true});
        for (io::Socket s : listeners_)
            watches.push_back({s, true});
        for (auto& [id, c] : clients_) {
            watches.push_back({c->fd, !c->closing && handler_.reading(*c), !c->out.empty()});
            owners.push_back(id);
        }
        if (!io::waitSockets(watches, due)) {
            log_("waiting on the sockets failed: " + io::lastError());
            status = 1;
            break;
        }
        const io::Watch* heard = &watches[2];
        if ((listener(Listener::Local) != io::kNoSocket && heard[0].failed) ||
            (listener(Listener::Tcp) != io::kNoSocket && heard[1].failed)) {
            log_("a listening socket failed: stopping");
            status = 1;
            break;
        }
        if (watches[0].readable) {
            wakeup_.drain();
            handler_.woken();
        }
        if (watches[1].readable) {
            log_("signal " + signals_.take() + ": stopping");
            break;
        }
        for (Listener kind : {Listener::Local, Listener::Tcp, Listener::Web})
            if (heard[static_cast<int>(kind)].readable)
                accept(kind);
        for (std::size_t i = 0; i < owners.size(); ++i) {
            Connection* c = find(owners[i]);
            if (!c)
                continue;
            const io::Watch& w = watches[i + 5];
            if (w.writable)
                writeClient(*c);
            if (has(owners[i]) && (w.readable || w.failed))
                readClient(*c);
        }
    }
    while (!clients_.empty())
        close(*clients_.begin()->second, "service stopping");
    return status;
}

void ClientHub::finished()
{
    signals_.finished();
}

int ClientHub::dropLateClients()
{
    // A TCP client that has not sent its token in time is told so and closed.
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::milliseconds::max();
    std::vector<std::uint64_t> late;
    for (auto& [id, c] : clients_) {
        if (c->authorized || c->closing)
            continue;
        if (c->authBy <= now)
            late.push_back(id);
        else
            next = std::min(next, std::chrono::duration_cast<std::chrono::milliseconds>(c->authBy - now));
    }
    for (const std::uint64_t id : late) {
        Connection& c = *clients_.at(id);
        const int ms = limits_.authMs;
        const std::string within = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
        const std::string line = handler_.refusal(Refusal::NoToken, "no token within " + within);
        io::sendSome(c.fd, line.data(), line.size());
        close(c, "no token in time");
    }
    return untilNext(next);
}

int ClientHub::dropStalledClients()
{
    if (limits_.requestMs <= 0)
        return -1;
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(limits_.requestMs);
    std::vector<std::uint64_t> stalled;
    auto next = std::chrono::milliseconds::max();
    for (const auto& [id, c] : clients_) {
        if (c->since == std::chrono::steady_clock::time_point{})
            continue;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - c->since);
        if (waited >= limit)
            stalled.push_back(id);
        else
            next = std::min(next, limit - waited);
    }
    for (std::uint64_t id : stalled)
        close(*clients_.at(id), "a request unfinished for " + std::to_string(limits_.requestMs) + " ms");
    return untilNext(next);
}

void ClientHub::accept(Listener kind)
{
    const bool tcp = kind != Listener::Local;
    const bool web = kind == Listener::Web;
    for (;;) {
        const io::Socket fd = io::acceptClient(listener(kind));
        if (fd == io::kNoSocket)
            return;
        // Web clients have their own limit, so that pages left open do not
        // keep the panel and brennmark-cli out. The unix socket's clients and
        // the TCP ones are counted apart, and those that have not
        // authenticated apart again, so that idle connections from the
        // network cannot keep the local clients out.
        const bool needsToken = kind == Listener::Tcp && !token_.empty();
        int same = 0, waiting = 0, webClients = 0;
        for (const auto& [id, other] : clients_) {
            if (other->from == Listener::Web) {
                ++webClients;
                continue;
            }
            same += other->from == kind;
            waiting += other->from == Listener::Tcp && !other->authorized;
        }
        const int cap = tcp ? limits_.maxTcpClients : limits_.maxClients;
        std::string full;
        if (web) {
            if (webClients >= limits_.maxWebClients)
                full = std::to_string(limits_.maxWebClients) + " web clients already";
        } else if (same >= cap) {
            full = std::to_string(cap) + (tcp ? " TCP" : "") + " clients already";
        } else if (needsToken && waiting >= limits_.maxUnauthenticated) {
            full = std::to_string(limits_.maxUnauthenticated) + " clients already waiting to authenticate";
        }
        if (!full.empty()) {
            log_("client refused: " + full);
            if (!web) {
                const std::string line = handler_.refusal(Refusal::Overloaded, full);
                io::sendSome(fd, line.data(), line.size()); // best effort: the socket is fresh
            }
            io::closeSocket(fd);
            continue;
        }
        std::unique_ptr<Connection> c = handler_.connection(kind);
        c->id = nextId_++;
        c->fd = fd;
        c->from = kind;
        // A web client's token is checked on every request.
        c->authorized = !needsToken;
        c->authBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.authMs);
        log_("client " + std::to_string(c->id) + ": connected (" + (web ? "web" : tcp ? "tcp" : "unix") + ")");
        clients_.emplace(c->id, std::move(c));
        count_ = clients_.size();
    }
}

void ClientHub::close(Connection& c, const std::string& why)
{
    log_("client " + std::to_string(c.id) + ": disconnected (" + why + ")");
    io::closeSocket(c.fd);
    clients_.erase(c.id); // c is gone
    count_ = clients_.size();
}

Connection* ClientHub::find(std::uint64_t id)
{
    const auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

std::vector<std::uint64_t> ClientHub::ids() const
{
    std::vector<std::uint64_t> out;
    out.reserve(clients_.size());
    for (const auto& [id, c] : clients_)
        out.push_back(id);
    return out;
}

bool ClientHub::send(Connection& c, const std::string& bytes)
{
    if (c.out.size() + bytes.size() > limits_.maxOutput) {
        close(c, "not reading: more than " + std::to_string(limits_.maxOutput) + " bytes waiting");
        return false;
    }
    c.out += bytes;
    return true;
}

void ClientHub::writeClient(Connection& c)
{
    while (!c.out.empty()) {
        const long n = io::sendSome(c.fd, c.out.data(), c.out.size());
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n == io::kWouldBlock)
            return;
        close(c, "write failed");
        return;
    }
    if (c.closing)
        close(c, "done");
}

void ClientHub::readClient(Connection& c)
{
    char buffer[kReadChunk];
    const long n = io::receiveSome(c.fd, buffer, sizeof buffer);
    if (n == 0 || n == io::kFailed) {
        close(c, n == 0 ? "closed by the client" : io::lastError());
        return;
    }
    if (n < 0)
        return;
    if (c.closing)
        return; // what comes after the last answer is not read
    c.in.append(buffer, static_cast<std::size_t>(n));
    handler_.received(c);
}

} // namespace bm::service
