#include "service/service.h"

#include "link/packet.h"
#include "model/device_model.h"
#include "platform/qt_settings.h"
#include "platform/service_socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace bm::service {
namespace {

// A frame client's unread bytes while its request is at the unit.
constexpr std::size_t kMaxFrameInput = 4096;
// The longest a frame may be: the unit's packets are at most this.
constexpr std::size_t kReadChunk = 16 * 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool sameToken(const std::string& a, const std::string& b)
{
    // Compared in full whatever differs first.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(i < b.size() ? b[i] : 0));
    return diff == 0;
}

std::string packetBytes(const Packet& p)
{
    return std::string(reinterpret_cast<const char*>(p.bytes.data()), p.length);
}

std::string ackBytes(std::uint8_t code)
{
    return packetBytes(framePacket(DC_ACK, {code}));
}

bool mkdirs(const std::string& dir)
{
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !mkdirs(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

struct Service::Client {
    std::uint64_t id = 0;
    int fd = -1;
    bool tcp = false;
    enum class Mode { Unknown, Frame, Json } mode = Mode::Unknown;
    bool authorized = true;
    bool busy = false;       // a request of it is with the line thread
    bool asleep = false;     // a frame client that said goodbye
    bool subscribed = false; // a JSON client that asked for events
    bool closing = false;    // closes once its output has gone
    std::string in;
    std::string out;
};

struct Service::Delivery {
    enum class Kind { Reply, Unsolicited, Event } kind = Kind::Reply;
    std::uint64_t client = 0;
    std::string frame;             // to frame clients
    std::vector<std::string> json; // to JSON clients (subscribers, for Unsolicited and Event)
    bool lineLost = false;         // Event: the unit's line is lost (frame clients hang up)
};

Service::Service(Setup setup) : setup_(std::move(setup)) {}

Service::~Service()
{
    for (auto& [id, c] : clients_)
        ::close(c->fd);
    clients_.clear();
    if (unit_)
        unit_->stop();
    if (unixFd_ >= 0)
        ::close(unixFd_);
    if (tcpFd_ >= 0)
        ::close(tcpFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    if (socketMade_)
        ::unlink(socketPath_.c_str());
}

void Service::log(const std::string& line)
{
    std::lock_guard lock(logMutex_);
    if (setup_.log) {
        setup_.log(line);
        return;
    }
    const std::string text = "brennmarkd: " + line + "\n";
    [[maybe_unused]] const ssize_t r = ::write(STDERR_FILENO, text.data(), text.size());
}

bool Service::start(std::string& error)
{
    const ServiceOptions& o = setup_.options;
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!o.tokenFile.empty()) {
        std::ifstream file(o.tokenFile);
        std::string token((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        while (!token.empty() && isSpace(token.back()))
            token.pop_back();
        if (!file || token.empty()) {
            error = "cannot read a token from " + o.tokenFile;
            return false;
        }
        token_ = token;
    }

    UnitLine::Config config;
    config.device = portOverride(o);
    config.traceFile = o.traceFile;
    config.verbose = o.verbose;
    config.makeSettings = setup_.makeSettings ? setup_.makeSettings
                                              : [] { return std::unique_ptr<SettingsStore>(new QSettingsStore()); };
    UnitLine::Hooks hooks;
    hooks.log = [this](const std::string& line) { log(line); };
    hooks.unsolicited = [this](const Packet& p) {
        Delivery d;
        d.kind = Delivery::Kind::Unsolicited;
        d.frame = packetBytes(p);
        d.json = jsonEvents(p);
        post(std::move(d));
        if (setup_.unitPacket)
            setup_.unitPacket(p);
    };
    hooks.lineState = [this](LineState state) {
        if (setup_.lineState)
            setup_.lineState(state);
        log(std::string("line: ") + lineStateName(state) + " (" + unit_->devicePath() + ")");
        Json event;
        event["event"] = "line";
        event["state"] = lineStateName(state);
        Delivery d;
        d.kind = Delivery::Kind::Event;
        d.json.push_back(jsonLine(event));
        d.lineLost = state == LineState::Lost;
        post(std::move(d));
    };
    hooks.sweepChanges = [this](const std::vector<std::pair<std::uint8_t, std::uint8_t>>& changes) {
        log("line: the reconnection's sweep found " + std::to_string(changes.size()) + " changed value(s)");
        for (const auto& [id, value] : changes) {
            // As the unit would have reported them, had it been heard.
            const Packet p = framePacket(DC_PARAM_CHG_MSG, {id, value});
            Delivery d;
            d.kind = Delivery::Kind::Unsolicited;
            d.frame = packetBytes(p);
            d.json = jsonEvents(p);
            post(std::move(d));
            if (setup_.unitPacket)
                setup_.unitPacket(p);
        }
    };
    unit_ = std::make_unique<UnitLine>(config, hooks);
    if (!unit_->start(error))
        return false;
    const DeviceModel& m = unit_->model();
    log(std::string("unit: ") + ProductName(m.unitConfig().ProductId) + " on " + unit_->devicePath() + ", ROM " +
        m.unitConfig().timeStampText());
    if (!openUnixSocket(error))
        return false;
    if (!o.listen.empty() && !openTcpListener(error))
        return false;
    return true;
}

bool Service::openUnixSocket(std::string& error)
{
    const bool byDefault = setup_.options.socketPath.empty();
    socketPath_ = byDefault ? defaultServiceSocketPath() : setup_.options.socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + socketPath_;
        return false;
    }
    socketPath_.copy(address.sun_path, socketPath_.size());
    const auto slash = socketPath_.rfind('/');
    if (byDefault && slash != std::string::npos && !mkdirs(socketPath_.substr(0, slash))) {
        error = "cannot make " + socketPath_.substr(0, slash) + ": " + std::strerror(errno);
        return false;
    }
    unixFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (unixFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(socketPath_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = socketPath_ + " exists and is not a socket";
            return false;
        }
        // Another service still answering there keeps its socket.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0)
            ::close(probe);
        if (alive) {
            error = "another brennmarkd serves " + socketPath_;
            return false;
        }
        ::unlink(socketPath_.c_str());
    }
    // Made with no access for anyone, then opened to the mode asked for.
    const mode_t old = ::umask(0777);
    const int bound = ::bind(unixFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old);
    if (bound != 0) {
        error = "cannot bind " + socketPath_ + ": " + std::strerror(errno);
        return false;
    }
    socketMade_ = true;
    if (::chmod(socketPath_.c_str(), setup_.options.socketMode) != 0 || ::listen(unixFd_, 64) != 0) {
        error = "cannot listen on " + socketPath_ + ": " + std::strerror(errno);
        return false;
    }
    log("listening on " + socketPath_);
    return true;
}

bool Service::openTcpListener(std::string& error)
{
    std::string host;
    int port = 0;
    splitHostPort(setup_.options.listen, host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
        error = "--listen " + setup_.options.listen + ": " + ::gai_strerror(rc);
        return false;
    }
    for (addrinfo* a = found; a && tcpFd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
            tcpFd_ = fd;
            sockaddr_storage bound{};
            socklen_t len = sizeof bound;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
            tcpPort_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        } else {
            error = std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (tcpFd_ < 0) {
        error = "cannot listen on " + setup_.options.listen + ": " + error;
        return false;
    }
    log("JSON API on " + host + ":" + std::to_string(tcpPort_) + (token_.empty() ? "" : " (token required)"));
    return true;
}

void Service::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

void Service::stop()
{
    stopping_ = true;
    if (wakeFd_ >= 0)
        wake();
}

void Service::post(Delivery d)
{
    {
        std::lock_guard lock(deliveriesMutex_);
        deliveries_.push_back(std::move(d));
    }
    wake();
}

int Service::run(bool handleSignals)
{
    int signalFd = -1;
    if (handleSignals) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        signalFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> owners;
    while (!stopping_) {
        fds.clear();
        owners.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({unixFd_, POLLIN, 0});
        fds.push_back({tcpFd_, POLLIN, 0});
        for (auto& [id, c] : clients_) {
            short events = 0;
            const bool full = c->mode == Client::Mode::Frame ? c->in.size() >= kMaxFrameInput
                                                              : c->in.size() > kMaxRequestLine;
            if (!c->closing && !(c->busy && full))
                events |= POLLIN;
            if (!c->out.empty())
                events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
            owners.push_back(id);
        }
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t n = 0;
            [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &n, sizeof n);
            deliver();
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info{};
            [[maybe_unused]] const ssize_t r = ::read(signalFd, &info, sizeof info);
            log(std::string("signal ") + (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT") + ": stopping");
            break;
        }
        if (fds[2].revents & POLLIN)
            accept(unixFd_, false);
        if (tcpFd_ >= 0 && (fds[3].revents & POLLIN))
            accept(tcpFd_, true);
        for (std::size_t i = 0; i < owners.size(); ++i) {
            const auto it = clients_.find(owners[i]);
            if (it == clients_.end())
                continue;
            Client& c = *it->second;
            const short rev = fds[i + 4].revents;
            if (rev & POLLOUT)
                writeClient(c);
            if (clients_.count(owners[i]) && (rev & (POLLIN | POLLHUP | POLLERR)))
                readClient(c);
        }
    }
    if (signalFd >= 0)
        ::close(signalFd);
    while (!clients_.empty())
        close(*clients_.begin()->second, "service stopping");
    unit_->stop();
    log("stopped");
    return 0;
}

void Service::accept(int listener, bool tcp)
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (static_cast<int>(clients_.size()) >= kMaxClients) {
            log("client refused: " + std::to_string(kMaxClients) + " clients already");
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = nextId_++;
        c->fd = fd;
        c->tcp = tcp;
        c->authorized = !tcp || token_.empty();
        if (tcp)
            c->mode = Client::Mode::Json; // the line itself is shared on the Unix socket only
        log("client " + std::to_string(c->id) + ": connected (" + (tcp ? "tcp" : "unix") + ")");
        clients_.emplace(c->id, std::move(c));
        clientCount_ = clients_.size();
    }
}

void Service::close(Client& c, const std::string& why)
{
    log("client " + std::to_string(c.id) + ": disconnected (" + why + ")");
    ::close(c.fd);
    clients_.erase(c.id); // c is gone
    clientCount_ = clients_.size();
}

bool Service::send(Client& c, const std::string& bytes)
{
    if (c.out.size() + bytes.size() > kMaxOutput) {
        close(c, "not reading: more than " + std::to_string(kMaxOutput) + " bytes waiting");
        return false;
    }
    c.out += bytes;
    return true;
}

void Service::writeClient(Client& c)
{
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        close(c, "write failed");
        return;
    }
    if (c.closing)
        close(c, "done");
}

void Service::readClient(Client& c)
{
    char buffer[kReadChunk];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EWOULDBLOCK)) {
        close(c, n == 0 ? "closed by the client" : std::strerror(errno));
        return;
    }
    if (n < 0)
        return;
    if (c.closing)
        return; // what comes after the last answer is not read
    c.in.append(buffer, static_cast<std::size_t>(n));
    process(c);
}

void Service::process(Client& c)
{
    if (c.mode == Client::Mode::Unknown) {
        const auto first = std::find_if(c.in.begin(), c.in.end(), [](char ch) { return !isSpace(ch); });
        if (first == c.in.end())
            return;
        c.mode = static_cast<std::uint8_t>(*first) == kPacketStart ? Client::Mode::Frame : Client::Mode::Json;
    }
    if (c.mode == Client::Mode::Frame)
        processFrame(c);
    else
        processJson(c);
}

void Service::processFrame(Client& c)
{
    const std::uint64_t id = c.id;
    while (clients_.count(id) && !c.busy) {
        // Cut the next packet as the unit's receiver does: from F1, by its count.
        const auto start = c.in.find(static_cast<char>(kPacketStart));
        if (start == std::string::npos) {
            c.in.clear();
            return;
        }
        c.in.erase(0, start);
        if (c.in.size() < 2)
            return;
        const std::size_t length = static_cast<std::uint8_t>(c.in[1]) + 2u;
        if (c.in.size() < length)
            return;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.in.data());
        if (!isValidPacket(bytes, length)) {
            c.in.erase(0, 1); // not a packet: look for the next start
            continue;
        }
        Packet p;
        std::copy(bytes, bytes + length, p.bytes.begin());
        p.length = static_cast<std::uint16_t>(length);
        c.in.erase(0, length);

        const std::uint8_t code = p.code();
        if (code == HOST_WAKEUP || code == DC_CMD_SET_FPD_CTRL || code == HOST_SLEEP) {
            // The client's greeting and goodbye are its own: the unit keeps
            // reporting to the service for every other client.
            if (code == HOST_WAKEUP)
                c.asleep = false;
            if (code == HOST_SLEEP)
                c.asleep = true;
            // With no unit behind the service (line lost, being reconnected,
            // not answering), the greeting and the goodbye are left unanswered,
            // as on a bare line: the client finds no unit rather than one that
            // never identifies itself.
            const LineState line = unit_->lineState();
            if (line != LineState::Connected && line != LineState::Asleep)
                continue;
            if (!send(c, ackBytes(code)))
                return;
            continue;
        }
        if (const auto cached = unit_->cachedAnswer(p)) {
            if (!send(c, packetBytes(*cached)))
                return;
            continue;
        }
        c.busy = true;
        unit_->post([this, id, p] {
            const ExchangeResult result = unit_->passThrough(p);
            Delivery d;
            d.client = id;
            for (const Packet& a : result.answers)
                d.frame += packetBytes(a);
            post(std::move(d));
        });
    }
}

void Service::processJson(Client& c)
{
    const std::uint64_t id = c.id;
    while (clients_.count(id) && !c.busy && !c.closing) {
        const auto eol = c.in.find('\n');
        if (eol == std::string::npos) {
            if (c.in.size() > kMaxRequestLine) {
                if (send(c, errorLine({ApiErrorType::TooLong,
                                       "a request line is at most " + std::to_string(kMaxRequestLine) + " bytes",
                                       nullptr}))) {
                    c.closing = true;
                    c.in.clear();
                }
            }
            return;
        }
        std::string line = c.in.substr(0, eol);
        c.in.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (std::all_of(line.begin(), line.end(), isSpace))
            continue;
        handleJsonRequest(c, line);
    }
}

void Service::handleJsonRequest(Client& c, const std::string& line)
{
    auto parsed = parseApiRequest(line);
    if (auto* error = std::get_if<ApiError>(&parsed)) {
        if (!c.authorized) {
            if (send(c, errorLine({ApiErrorType::Unauthorized, "send {\"op\":\"auth\",\"token\":...} first", nullptr})))
                c.closing = true;
            return;
        }
        send(c, errorLine(*error));
        return;
    }
    ApiRequest request = std::get<ApiRequest>(std::move(parsed));
    auto reply = [&](const char* what) {
        Json out;
        out["reply"] = what;
        if (!request.id.is_null())
            out["id"] = request.id;
        return out;
    };
    if (request.op == ApiOp::Auth) {
        if (!token_.empty() && !sameToken(request.token, token_)) {
            log("client " + std::to_string(c.id) + ": wrong token");
            if (send(c, errorLine({ApiErrorType::Unauthorized, "wrong token", request.id})))
                c.closing = true;
            return;
        }
        c.authorized = true;
        send(c, jsonLine(reply("auth")));
        return;
    }
    if (!c.authorized) {
        log("client " + std::to_string(c.id) + ": request before the token");
        if (send(c, errorLine({ApiErrorType::Unauthorized, "send {\"op\":\"auth\",\"token\":...} first", request.id})))
            c.closing = true;
        return;
    }
    switch (request.op) {
    case ApiOp::Subscribe:
    case ApiOp::Unsubscribe: {
        c.subscribed = request.op == ApiOp::Subscribe;
        Json out = reply(c.subscribed ? "subscribe" : "unsubscribe");
        out["line"] = lineStateName(unit_->lineState());
        send(c, jsonLine(out));
        return;
    }
    default:
        break;
    }
    c.busy = true;
    const std::uint64_t id = c.id;
    unit_->post([this, id, request] {
        unit_->beginJob();
        Delivery d;
        d.client = id;
        switch (request.op) {
        case ApiOp::Hello: d.json.push_back(jsonHello(request.id)); break;
        case ApiOp::Get: d.json.push_back(jsonGet(request)); break;
        case ApiOp::Set: d.json.push_back(jsonSet(request)); break;
        case ApiOp::Ir: d.json.push_back(jsonIr(request)); break;
        default: break;
        }
        post(std::move(d));
    });
}

void Service::deliver()
{
    std::vector<Delivery> batch;
    {
        std::lock_guard lock(deliveriesMutex_);
        batch.swap(deliveries_);
    }
    for (Delivery& d : batch) {
        if (d.kind == Delivery::Kind::Reply) {
            const auto it = clients_.find(d.client);
            if (it == clients_.end())
                continue; // it went away meanwhile: the answer is dropped
            Client& c = *it->second;
            c.busy = false;
            if (send(c, c.mode == Client::Mode::Frame ? d.frame : (d.json.empty() ? std::string() : d.json.front())))
                process(c);
            continue;
        }
        std::vector<std::uint64_t> ids;
        for (const auto& [id, c] : clients_)
            ids.push_back(id);
        for (std::uint64_t id : ids) {
            const auto it = clients_.find(id);
            if (it == clients_.end())
                continue;
            Client& c = *it->second;
            if (c.mode == Client::Mode::Frame && d.lineLost) {
                // A frame client follows the line as on a bare one: it hangs
                // up, and the client's own reconnection finds the unit again
                // once the service answers greetings again.
                close(c, "the unit's line was lost");
            } else if (c.mode == Client::Mode::Frame && !c.asleep && d.kind == Delivery::Kind::Unsolicited) {
                send(c, d.frame);
            } else if (c.mode == Client::Mode::Json && c.subscribed && c.authorized) {
                for (const std::string& line : d.json)
                    if (!send(c, line))
                        break;
            }
        }
    }
}

} // namespace bm::service
