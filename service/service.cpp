#include "service/service.h"

#include "link/packet.h"
#include "model/device_model.h"
#include "platform/service_socket.h"
#include "platform/user_settings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

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

} // namespace

struct Service::Client {
    std::uint64_t id = 0;
    io::Socket fd = io::kNoSocket;
    bool tcp = false;
    enum class Mode { Unknown, Frame, Json, Http } mode = Mode::Unknown;
    bool authorized = true;
    bool busy = false;       // a request of it is with the line thread
    bool asleep = false;     // a frame client that said goodbye
    bool subscribed = false; // a JSON client that asked for events
    bool closing = false;    // closes once its output has gone
    // A web client: on the event stream; its API request's reply is the
    // response; whether the connection stays; since when a request is unfinished.
    bool events = false;
    bool apiPending = false;
    bool keepAlive = true;
    std::chrono::steady_clock::time_point since{};
    std::chrono::steady_clock::time_point authBy{}; // an unauthorized TCP client's deadline
    std::string in;
    std::string out;
};

struct Service::Delivery {
    enum class Kind { Reply, Unsolicited, Event } kind = Kind::Reply;
    std::uint64_t client = 0;
    std::string frame;             // to frame clients
    std::vector<std::string> json; // to JSON clients (subscribers, for Unsolicited and Event)
    bool lineLost = false;         // Event: the unit's line is lost (frame clients hang up)
    bool unitChanged = false;      // Event: another unit answered (frame clients hang up)
};

Service::Service(Setup setup) : setup_(std::move(setup)) {}

Service::~Service()
{
    for (auto& [id, c] : clients_)
        io::closeSocket(c->fd);
    clients_.clear();
    if (unit_)
        unit_->stop();
    io::closeSocket(unixFd_);
    io::closeSocket(tcpFd_);
    io::closeSocket(httpFd_);
    if (webFileWritten_)
        io::removeFile(webFilePath_);
    if (socketMade_)
        io::removeFile(socketPath_);
    if (endpointWritten_)
        io::removeFile(endpointPath_);
}

void Service::log(const std::string& line)
{
    std::lock_guard lock(logMutex_);
    if (setup_.log) {
        setup_.log(line);
        return;
    }
    const std::string text = "brennmarkd: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

bool Service::readToken(std::string& error)
{
    const ServiceOptions& o = setup_.options;
    if (o.tokenFile.empty())
        return true;
    std::string token;
    if (!io::readPrivateFile(o.tokenFile, "the token file", 4096, token, error))
        return false;
    while (!token.empty() && isSpace(token.back()))
        token.pop_back();
    if (token.empty()) {
        error = "cannot read a token from " + o.tokenFile;
        return false;
    }
    token_ = token;
    return true;
}

bool Service::start(std::string& error)
{
    const ServiceOptions& o = setup_.options;
    if (!wakeup_.open(error) || !readToken(error))
        return false;

    UnitLine::Config config;
    config.device = portOverride(o);
    config.traceFile = o.traceFile;
    config.captureFile = o.captureFile;
    config.captureRedact = o.captureRedact;
    config.verbose = o.verbose;
    config.maxVolume = o.maxVolume;
    config.makeSettings = setup_.makeSettings ? setup_.makeSettings : [] { return openUserSettings(); };
    UnitLine::Hooks hooks;
    hooks.log = [this](const std::string& line) { log(line); };
    hooks.unsolicited = [this](const Packet& p) { postUnitPacket(p); };
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
    hooks.unitChanged = [this] {
        Delivery d;
        d.kind = Delivery::Kind::Event;
        d.unitChanged = true;
        post(std::move(d));
    };
    hooks.sweepChanges = [this](const std::vector<std::pair<std::uint8_t, std::uint8_t>>& changes) {
        log("line: the reconnection's sweep found " + std::to_string(changes.size()) + " changed value(s)");
        postParamChanges(changes);
    };
    unit_ = std::make_unique<UnitLine>(config, hooks);
    if (!unit_->start(error))
        return false;
    if (unit_->unitFound()) {
        const DeviceModel& m = unit_->model();
        log(std::string("unit: ") + ProductName(m.unitConfig().ProductId) + " on " + unit_->devicePath() + ", ROM " +
            m.unitConfig().timeStampText());
    }
    if (io::kLocalSockets && !openUnixSocket(error))
        return false;
    if (!o.listen.empty() && !openTcpListener(error))
        return false;
    return openHttp(error);
}

void Service::postUnitPacket(const Packet& p)
{
    Delivery d;
    d.kind = Delivery::Kind::Unsolicited;
    d.frame = packetBytes(p);
    d.json = jsonEvents(p);
    post(std::move(d));
    if (setup_.unitPacket)
        setup_.unitPacket(p);
}

void Service::postParamChanges(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& changes)
{
    // As the unit would have reported them, had it been heard.
    for (const auto& [id, value] : changes)
        postUnitPacket(framePacket(DC_PARAM_CHG_MSG, {id, value}));
}

void Service::postNameEvent(const std::string& control, const Json& value)
{
    Json e;
    e["event"] = "name";
    e["control"] = control;
    e["value"] = value;
    Delivery d;
    d.kind = Delivery::Kind::Event;
    d.json.push_back(jsonLine(e));
    post(std::move(d));
}

bool Service::openUnixSocket(std::string& error)
{
    const bool byDefault = setup_.options.socketPath.empty();
    socketPath_ = byDefault ? defaultServiceSocketPath() : setup_.options.socketPath;
    if (!io::listenLocal(socketPath_, setup_.options.socketMode, byDefault, unixFd_, error))
        return false;
    socketMade_ = true;
    log("listening on " + socketPath_);
    return true;
}

bool Service::openTcpListener(std::string& error)
{
    std::string host;
    int port = 0;
    splitHostPort(setup_.options.listen, host, port);
    endpointPath_ = setup_.options.endpointFile.empty() ? defaultServiceEndpointPath() : setup_.options.endpointFile;
    if (!endpointPath_.empty() && token_.empty()) {
        // The endpoint file hands the token to this user's clients: a fresh
        // one each start, so a file left from an earlier run opens nothing.
        token_ = io::randomHex(32);
        if (token_.empty()) {
            error = "no random token: the system's random source failed";
            return false;
        }
    }
    std::string reason;
    if (!io::listenTcp(host, port, tcpFd_, tcpPort_, reason)) {
        error = "cannot listen on " + setup_.options.listen + ": " + reason;
        return false;
    }
    log("listening on " + host + ":" + std::to_string(tcpPort_) + (token_.empty() ? "" : " (token required)"));
    return endpointPath_.empty() || publishEndpoint(host, error);
}

bool Service::publishEndpoint(const std::string& host, std::string& error)
{
    ServiceEndpoint endpoint;
    // A listener on every address is reached through loopback.
    endpoint.host = host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
    endpoint.port = tcpPort_;
    endpoint.token = token_;
    const auto slash = endpointPath_.find_last_of(io::kLocalSockets ? "/" : "/\\");
    if (slash != std::string::npos && !io::makeFolders(endpointPath_.substr(0, slash), error))
        return false;
    if (!io::writePrivateFile(endpointPath_, formatServiceEndpoint(endpoint), error))
        return false;
    endpointWritten_ = true;
    log("address and token for clients in " + endpointPath_);
    return true;
}

void Service::wake()
{
    wakeup_.raise();
}

void Service::stop()
{
    stopping_ = true;
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
    io::StopSignals signals;
    if (handleSignals && !signals.open())
        log("cannot watch for requests to stop: " + io::lastError());
    std::vector<io::Watch> watches;
    std::vector<std::uint64_t> owners;
    // Non-zero when the sockets themselves failed: the service cannot go on,
    // and its supervisor (systemd) is told so by the exit status.
    int status = 0;
    while (!stopping_) {
        watches.clear();
        owners.clear();
        watches.push_back({wakeup_.socket(), true});
        watches.push_back({signals.socket(), true});
        watches.push_back({unixFd_, true});
        watches.push_back({tcpFd_, true});
        watches.push_back({httpFd_, true});
        for (auto& [id, c] : clients_) {
            const bool full = c->mode == Client::Mode::Frame ? c->in.size() >= kMaxFrameInput
                                                              : c->in.size() > kMaxRequestLine;
            watches.push_back({c->fd, !c->closing && !(c->busy && full), !c->out.empty()});
            owners.push_back(id);
        }
        const int webDue = dropStalledWebClients();
        const int authDue = dropLateClients();
        const int due = webDue < 0 ? authDue : authDue < 0 ? webDue : std::min(webDue, authDue);
        if (!io::waitSockets(watches, due)) {
            log("waiting on the sockets failed: " + io::lastError());
            status = 1;
            break;
        }
        if ((unixFd_ != io::kNoSocket && watches[2].failed) || (tcpFd_ != io::kNoSocket && watches[3].failed)) {
            log("a listening socket failed: stopping");
            status = 1;
            break;
        }
        if (watches[0].readable) {
            wakeup_.drain();
            deliver();
        }
        if (watches[1].readable) {
            log("signal " + signals.take() + ": stopping");
            break;
        }
        if (watches[2].readable)
            accept(unixFd_, false);
        if (watches[3].readable)
            accept(tcpFd_, true);
        if (watches[4].readable)
            accept(httpFd_, true, true);
        for (std::size_t i = 0; i < owners.size(); ++i) {
            const auto it = clients_.find(owners[i]);
            if (it == clients_.end())
                continue;
            Client& c = *it->second;
            const io::Watch& w = watches[i + 5];
            if (w.writable)
                writeClient(c);
            if (clients_.count(owners[i]) && (w.readable || w.failed))
                readClient(c);
        }
    }
    while (!clients_.empty())
        close(*clients_.begin()->second, "service stopping");
    unit_->stop();
    // Before a closing console may end the process: no client should find
    // the address of a service that has gone.
    if (endpointWritten_)
        io::removeFile(endpointPath_);
    endpointWritten_ = false;
    if (webFileWritten_)
        io::removeFile(webFilePath_);
    webFileWritten_ = false;
    log("stopped");
    signals.finished();
    return status;
}

int Service::dropLateClients()
{
    // A TCP client that has not sent its token in time is told so and closed.
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    std::vector<std::uint64_t> late;
    for (auto& [id, c] : clients_) {
        if (c->authorized || c->closing)
            continue;
        if (c->authBy <= now)
            late.push_back(id);
        else
            next = std::min(next, c->authBy);
    }
    for (const std::uint64_t id : late) {
        Client& c = *clients_.at(id);
        const std::string line = errorLine({ApiErrorType::Unauthorized, "no token within 5 s", nullptr});
        io::sendSome(c.fd, line.data(), line.size());
        close(c, "no token in time");
    }
    if (next == std::chrono::steady_clock::time_point::max())
        return -1;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
}

void Service::accept(io::Socket listener, bool tcp, bool web)
{
    for (;;) {
        const io::Socket fd = io::acceptClient(listener);
        if (fd == io::kNoSocket)
            return;
        // Web clients have their own limit, so that pages left open do not
        // keep the panel and brennmark-cli out. The unix socket's clients and
        // the TCP ones are counted apart, and those that have not
        // authenticated apart again, so that idle connections from the
        // network cannot keep the local clients out.
        const bool needsToken = tcp && !web && !token_.empty();
        int same = 0, waiting = 0, webClients = 0;
        for (const auto& [id, other] : clients_) {
            if (other->mode == Client::Mode::Http) {
                ++webClients;
                continue;
            }
            same += other->tcp == tcp;
            waiting += other->tcp && !other->authorized;
        }
        const int cap = tcp ? kMaxTcpClients : kMaxClients;
        std::string full;
        if (web) {
            if (webClients >= http::kMaxHttpClients)
                full = std::to_string(http::kMaxHttpClients) + " web clients already";
        } else if (same >= cap) {
            full = std::to_string(cap) + (tcp ? " TCP" : "") + " clients already";
        } else if (needsToken && waiting >= kMaxUnauthenticated) {
            full = std::to_string(kMaxUnauthenticated) + " clients already waiting to authenticate";
        }
        if (!full.empty()) {
            log("client refused: " + full);
            if (!web) {
                const std::string line = errorLine({ApiErrorType::Overloaded, full, nullptr});
                io::sendSome(fd, line.data(), line.size()); // best effort: the socket is fresh
            }
            io::closeSocket(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = nextId_++;
        c->fd = fd;
        c->tcp = tcp;
        c->authorized = !needsToken;
        c->authBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAuthLimitMs);
        if (web) {
            // The token is checked on every request (http_site.cpp).
            c->mode = Client::Mode::Http;
            c->authorized = true;
        }
        log("client " + std::to_string(c->id) + ": connected (" + (web ? "web" : tcp ? "tcp" : "unix") + ")");
        clients_.emplace(c->id, std::move(c));
        clientCount_ = clients_.size();
    }
}

void Service::close(Client& c, const std::string& why)
{
    log("client " + std::to_string(c.id) + ": disconnected (" + why + ")");
    io::closeSocket(c.fd);
    clients_.erase(c.id); // c is gone
    clientCount_ = clients_.size();
}

bool Service::send(Client& c, const std::string& bytes)
{
    if (c.apiPending) {
        // A web client's API reply, as the response to its POST.
        c.apiPending = false;
        if (!send(c, http::apiResponse(bytes, c.keepAlive)))
            return false;
        c.closing = c.closing || !c.keepAlive;
        return true;
    }
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

void Service::readClient(Client& c)
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
    process(c);
}

void Service::process(Client& c)
{
    const std::uint64_t id = c.id;
    if (c.mode == Client::Mode::Http) {
        processHttp(c);
        return;
    }
    for (;;) {
        if (c.mode == Client::Mode::Unknown) {
            const auto first = std::find_if(c.in.begin(), c.in.end(), [](char ch) { return !isSpace(ch); });
            if (first == c.in.end())
                return;
            const bool frames = static_cast<std::uint8_t>(*first) == kPacketStart;
            if (frames && !c.authorized) {
                // Frames only after the token: the token is a JSON request.
                log("client " + std::to_string(c.id) + ": frames before the token");
                if (send(c, errorLine({ApiErrorType::Unauthorized, "send {\"op\":\"auth\",\"token\":...} first",
                                       nullptr}))) {
                    c.closing = true;
                    c.in.clear();
                }
                return;
            }
            c.mode = frames ? Client::Mode::Frame : Client::Mode::Json;
        }
        if (c.mode == Client::Mode::Frame) {
            processFrame(c);
            return;
        }
        processJson(c);
        // An auth reply hands the choice back to the client's next byte.
        if (!clients_.count(id) || c.mode != Client::Mode::Unknown)
            return;
    }
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
            // So are they while another unit that answered is being read.
            if ((line != LineState::Connected && line != LineState::Asleep) || unit_->unitChanging())
                continue;
            if (!send(c, ackBytes(code)))
                return;
            // Reports switched on: the unit would send its display now; the
            // client gets it as the unit last reported it.
            const bool reportsOn = code == DC_CMD_SET_FPD_CTRL && p.dataLength() >= 1 && p.data()[0] != 0;
            if (reportsOn) {
                if (const auto display = unit_->frontPanelReport(); display && !send(c, packetBytes(*display)))
                    return;
            }
            continue;
        }
        if (const auto cached = unit_->cachedAnswer(p)) {
            if (!send(c, packetBytes(*cached)))
                return;
            continue;
        }
        // A tone key chosen before another client's set of the same control
        // would pull the unit back toward the old target: it is acknowledged
        // and not sent, and the client's step ends on the unit's value.
        const auto tone = code == DC_CMD_IR && p.dataLength() >= 1 ? ToneGuard::controlOfKey(p.data()[0]) : std::nullopt;
        const std::uint64_t toneMark = tone ? unit_->toneGuard().mark(*tone) : 0;
        const bool queued = unit_->post([this, id, p, tone, toneMark] {
            if (tone && !unit_->toneGuard().keyMayGo(id, *tone, toneMark, ToneGuard::Clock::now())) {
                log("client " + std::to_string(id) + ": a tone key after another client's set, not sent");
                Delivery d;
                d.client = id;
                d.frame = ackBytes(DC_CMD_IR);
                post(std::move(d));
                return;
            }
            const ExchangeResult result = unit_->passThrough(p);
            postPassedName(p, result.answers);
            Delivery d;
            d.client = id;
            for (const Packet& a : result.answers)
                d.frame += packetBytes(a);
            post(std::move(d));
        });
        // A full queue leaves the request unanswered, as a unit too busy to
        // answer would: the client's own time-out and retry take over.
        c.busy = queued;
    }
}

void Service::processJson(Client& c)
{
    const std::uint64_t id = c.id;
    while (clients_.count(id) && !c.busy && !c.closing && c.mode == Client::Mode::Json) {
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
        // The client may go on in JSON or in the unit's frames.
        c.mode = Client::Mode::Unknown;
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
    const std::uint64_t id = c.id;
    // A set of one control: a newer set of the same control replaces it
    // while it waits, and its client is told so.
    std::string key;
    if (request.op == ApiOp::Set && request.values.size() == 1) {
        const std::string& name = request.values.front().first;
        const auto control = controls::findControl(name);
        key = "set " + (control ? control->name : name);
    }
    auto superseded = [this, id, rid = request.id, key] {
        Delivery d;
        d.client = id;
        d.json.push_back(errorLine({ApiErrorType::Superseded, key + ": a newer set of the same control replaced it",
                                    rid}));
        post(std::move(d));
    };
    const bool queued = unit_->post([this, id, request] {
        unit_->beginJob();
        Delivery d;
        d.client = id;
        switch (request.op) {
        case ApiOp::Hello: d.json.push_back(jsonHello(request.id)); break;
        case ApiOp::Get: d.json.push_back(jsonGet(request)); break;
        case ApiOp::Set:
            d.json.push_back(jsonSet(request));
            for (const auto& value : request.values)
                if (const auto tone = ToneGuard::controlOfName(value.first))
                    unit_->toneGuard().setBy(id, *tone);
            break;
        case ApiOp::Ir:
            d.json.push_back(jsonIr(request));
            if (const auto tone = ToneGuard::controlOfKeyName(request.key))
                unit_->toneGuard().setBy(id, *tone);
            break;
        case ApiOp::Controls: d.json.push_back(jsonControls(request.id)); break;
        case ApiOp::Save: d.json.push_back(jsonSave(request.id)); break;
        case ApiOp::Restore:
            d.json.push_back(jsonRestore(request));
            for (int tone = 0; tone < ToneGuard::kControls; ++tone)
                unit_->toneGuard().setBy(id, tone);
            break;
        case ApiOp::Diff: d.json.push_back(jsonDiff(request)); break;
        default: break;
        }
        post(std::move(d));
    }, key, superseded);
    if (!queued) {
        send(c, errorLine({ApiErrorType::Busy, "the service has too many requests waiting for the unit", request.id}));
        return;
    }
    c.busy = true;
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
            } else if (c.mode == Client::Mode::Frame && d.unitChanged) {
                // As a unit swapped on a bare line: the client finds the new
                // one when it greets it again.
                close(c, "another unit answered");
            } else if (c.mode == Client::Mode::Frame && !c.asleep && d.kind == Delivery::Kind::Unsolicited) {
                send(c, d.frame);
            } else if (c.mode == Client::Mode::Json && c.subscribed && c.authorized) {
                for (const std::string& line : d.json)
                    if (!send(c, line))
                        break;
            } else if (c.mode == Client::Mode::Http && c.events) {
                for (const std::string& line : d.json)
                    if (!send(c, http::eventMessage(line)))
                        break;
            }
        }
    }
}

void Service::processHttp(Client& c)
{
    const std::uint64_t id = c.id;
    while (clients_.count(id) && !c.busy && !c.closing) {
        if (c.events) {
            c.in.clear(); // the stream only goes one way
            return;
        }
        http::Request request;
        int status = 0;
        const http::Parse parsed = http::takeRequest(c.in, request, status);
        if (parsed == http::Parse::Incomplete) {
            // The time runs from the request's first byte, however it trickles in.
            if (c.in.empty())
                c.since = {};
            else if (c.since == std::chrono::steady_clock::time_point{})
                c.since = std::chrono::steady_clock::now();
            return;
        }
        c.since = {};
        if (parsed == http::Parse::Bad) {
            log("client " + std::to_string(c.id) + ": a request refused with HTTP " + std::to_string(status));
            http::Response r;
            r.status = status;
            c.in.clear();
            if (send(c, http::formatResponse(r, false)))
                c.closing = true;
            return;
        }
        c.keepAlive = request.keepAlive;
        const http::Decision d = http::route(site_, request);
        if (d.kind == http::Decision::Kind::Respond) {
            if (d.response.status >= 400)
                log("client " + std::to_string(c.id) + ": " + request.method + " " + request.path + " refused (" +
                    std::to_string(d.response.status) + ")");
            http::Response r = d.response;
            if (request.method == "HEAD")
                r.body.clear();
            if (send(c, http::formatResponse(r, request.keepAlive)) && !request.keepAlive)
                c.closing = true;
            continue;
        }
        if (d.kind == http::Decision::Kind::Events) {
            c.events = true;
            c.in.clear();
            Json line;
            line["event"] = "line";
            line["state"] = lineStateName(unit_->lineState());
            if (send(c, http::eventsHead()))
                send(c, http::eventMessage(jsonLine(line)));
            return;
        }
        // One JSON request per POST, answered as the socket answers it.
        std::string body = request.body;
        while (!body.empty() && isSpace(body.back()))
            body.pop_back();
        c.apiPending = true;
        if (body.find('\n') != std::string::npos) {
            send(c, errorLine({ApiErrorType::BadRequest, "one request per POST", nullptr}));
            continue;
        }
        handleJsonRequest(c, body);
        if (!clients_.count(id))
            return;
        c.mode = Client::Mode::Http; // an auth request hands it back
    }
}

int Service::dropStalledWebClients()
{
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(http::kRequestTimeoutMs);
    std::vector<std::uint64_t> stalled;
    auto next = std::chrono::milliseconds::max();
    for (const auto& [id, c] : clients_) {
        if (c->mode != Client::Mode::Http || c->since == std::chrono::steady_clock::time_point{})
            continue;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - c->since);
        if (waited >= limit)
            stalled.push_back(id);
        else
            next = std::min(next, limit - waited);
    }
    for (std::uint64_t id : stalled)
        close(*clients_.at(id), "a request unfinished for " + std::to_string(http::kRequestTimeoutMs) + " ms");
    return next == std::chrono::milliseconds::max() ? -1 : static_cast<int>(next.count()) + 1;
}

} // namespace bm::service
