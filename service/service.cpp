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

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

struct Service::Client : Connection {
    enum class Mode { Unknown, Frame, Json, Http } mode = Mode::Unknown;
    bool busy = false;       // a request of it is with the line thread
    bool asleep = false;     // a frame client that said goodbye
    bool held = false;       // its greeting waits until another unit has been read
    bool subscribed = false; // a JSON client that asked for events
    // A web client: on the event stream; its API request's reply is the
    // response; whether the connection stays.
    bool events = false;
    bool apiPending = false;
    bool keepAlive = true;
};

struct Service::Delivery {
    enum class Kind { Reply, Unsolicited, Event } kind = Kind::Reply;
    std::uint64_t client = 0;
    std::string frame;             // to frame clients
    std::vector<std::string> json; // to JSON clients (subscribers, for Unsolicited and Event)
    bool lineLost = false;         // Event: the unit's line is lost (frame clients hang up)
    bool unitChanged = false;      // Event: another unit answered (frame clients hang up)
    bool unitRead = false;         // Event: and has been read (held greetings are answered)
};

Service::Service(Setup setup)
    : setup_(std::move(setup)),
      hub_(*this, {.maxWebClients = http::kMaxHttpClients, .requestMs = http::kRequestTimeoutMs},
           [this](const std::string& line) { log(line); })
{
}

Service::~Service()
{
    if (unit_)
        unit_->stop();
    if (webFileWritten_)
        io::removeFile(webFilePath_);
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
    hub_.setToken(token);
    return true;
}

bool Service::start(std::string& error)
{
    const ServiceOptions& o = setup_.options;
    if (!hub_.open(error) || !readToken(error))
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
    hooks.events = [this](const unitcore::UnitEvent& e) {
        if (e.kind != unitcore::UnitEvent::Kind::Ready)
            return;
        // Another unit or ROM has been read: subscribers read it again
        // (until now its requests were answered "not read").
        const UnitConfig config = unit_->model().unitConfig();
        Json event;
        event["event"] = "unit";
        event["product"] = ProductName(config.ProductId);
        event["rom"] = config.timeStampText();
        Delivery d;
        d.kind = Delivery::Kind::Event;
        d.json.push_back(jsonLine(event));
        d.unitRead = true;
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
    if (!hub_.listenLocal(socketPath_, setup_.options.socketMode, byDefault, error))
        return false;
    log("listening on " + socketPath_);
    return true;
}

bool Service::openTcpListener(std::string& error)
{
    std::string host;
    int port = 0;
    splitHostPort(setup_.options.listen, host, port);
    endpointPath_ = setup_.options.endpointFile.empty() ? defaultServiceEndpointPath() : setup_.options.endpointFile;
    if (!endpointPath_.empty() && hub_.token().empty()) {
        // The endpoint file hands the token to this user's clients: a fresh
        // one each start, so a file left from an earlier run opens nothing.
        hub_.setToken(io::randomHex(32));
        if (hub_.token().empty()) {
            error = "no random token: the system's random source failed";
            return false;
        }
    }
    std::string reason;
    if (!hub_.listenTcp(Listener::Tcp, host, port, tcpPort_, reason)) {
        error = "cannot listen on " + setup_.options.listen + ": " + reason;
        return false;
    }
    log("listening on " + host + ":" + std::to_string(tcpPort_) + (hub_.token().empty() ? "" : " (token required)"));
    return endpointPath_.empty() || publishEndpoint(host, error);
}

bool Service::publishEndpoint(const std::string& host, std::string& error)
{
    ServiceEndpoint endpoint;
    // A listener on every address is reached through loopback.
    endpoint.host = host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
    endpoint.port = tcpPort_;
    endpoint.token = hub_.token();
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
    hub_.wake();
}

void Service::stop()
{
    hub_.stop();
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
    const int status = hub_.run(handleSignals);
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
    hub_.finished();
    return status;
}

std::unique_ptr<Connection> Service::connection(Listener from)
{
    auto c = std::make_unique<Client>();
    if (from == Listener::Web)
        c->mode = Client::Mode::Http;
    return c;
}

void Service::received(Connection& c)
{
    process(static_cast<Client&>(c));
}

bool Service::reading(const Connection& connection)
{
    // A client with a request at the unit is read only up to its bound.
    const auto& c = static_cast<const Client&>(connection);
    const bool full = c.mode == Client::Mode::Frame ? c.in.size() >= kMaxFrameInput : c.in.size() > kMaxRequestLine;
    return !(c.busy && full);
}

void Service::woken()
{
    deliver();
}

std::string Service::refusal(Refusal why, const std::string& text)
{
    return errorLine({why == Refusal::NoToken ? ApiErrorType::Unauthorized : ApiErrorType::Overloaded, text, nullptr});
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
    return hub_.send(c, bytes);
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
        if (!hub_.has(id) || c.mode != Client::Mode::Unknown)
            return;
    }
}

void Service::processFrame(Client& c)
{
    const std::uint64_t id = c.id;
    while (hub_.has(id) && !c.busy) {
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
            // While another unit that answered is being read, the greeting
            // waits for it (as a unit busy reading in its definitions would
            // answer late), and is answered the moment it is read.
            if (unit_->unitChanging()) {
                c.in.insert(0, reinterpret_cast<const char*>(p.bytes.data()), p.length);
                c.held = true;
                c.busy = true;
                return;
            }
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
    while (hub_.has(id) && !c.busy && !c.closing && c.mode == Client::Mode::Json) {
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
        if (!hub_.authenticate(c, request.token)) {
            log("client " + std::to_string(c.id) + ": wrong token");
            if (send(c, errorLine({ApiErrorType::Unauthorized, "wrong token", request.id})))
                c.closing = true;
            return;
        }
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
            auto* found = static_cast<Client*>(hub_.find(d.client));
            if (!found)
                continue; // it went away meanwhile: the answer is dropped
            Client& c = *found;
            c.busy = false;
            if (send(c, c.mode == Client::Mode::Frame ? d.frame : (d.json.empty() ? std::string() : d.json.front())))
                process(c);
            continue;
        }
        for (std::uint64_t id : hub_.ids()) {
            auto* found = static_cast<Client*>(hub_.find(id));
            if (!found)
                continue;
            Client& c = *found;
            if (c.mode == Client::Mode::Frame && d.lineLost) {
                // A frame client follows the line as on a bare one: it hangs
                // up, and the client's own reconnection finds the unit again
                // once the service answers greetings again.
                hub_.close(c, "the unit's line was lost");
            } else if (c.mode == Client::Mode::Frame && d.unitChanged) {
                // As a unit swapped on a bare line: the client finds the new
                // one when it greets it again.
                hub_.close(c, "another unit answered");
            } else if (c.mode == Client::Mode::Frame && d.unitRead && c.held) {
                c.held = false;
                c.busy = false;
                process(c);
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
    while (hub_.has(id) && !c.busy && !c.closing) {
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
        if (!hub_.has(id))
            return;
        c.mode = Client::Mode::Http; // an auth request hands it back
    }
}

} // namespace bm::service
