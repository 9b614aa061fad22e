// brennmarkd's service: the unit (UnitLine) and its clients. One thread runs
// the sockets: it accepts clients on the Unix socket (POSIX) and the TCP
// listener (on Windows the service's own endpoint: loopback, with a token),
// reads their requests, answers what needs no unit (a client's greeting and
// goodbye, definitions held complete, the JSON API's own requests), hands the
// rest to the line thread one request per client at a time, and writes the
// answers back to the client that asked. The unit's unsolicited messages go
// to every frame client that has not said goodbye and, as JSON events, to
// every subscriber.
//
// A client speaks the unit's frames or the JSON API, as its first byte says.
// A TCP client that must authenticate sends {"op":"auth","token":...} first;
// after the auth reply its next byte decides again.
//
// The sockets, the limits and the token are the ClientHub's (client_hub.h);
// the service is its handler. A client's queues are bounded: a client that
// stops reading is disconnected once kMaxOutput bytes wait for it; a client
// with a request at the unit is not read further until it is answered; a
// client that goes away while its request is at the unit leaves it to
// complete or time out, and the answer is dropped.
#pragma once

#include "service/api.h"
#include "service/client_hub.h"
#include "service/http_site.h"
#include "service/options.h"
#include "service/service_io.h"
#include "service/unit_line.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bm {
class SettingsStore;
}

namespace bm::service {

class Service : private ClientHandler {
public:
    struct Setup {
        ServiceOptions options;
        // The settings store; null for the panel's own (QSettings).
        std::function<std::unique_ptr<SettingsStore>()> makeSettings;
        // Where log lines go; null: standard error.
        std::function<void(const std::string&)> log;
        // Also told what the clients are told (the MQTT bridge's unit view): the
        // unit's unsolicited packets and the changes a reconnection's sweep
        // found, as change messages (reader or line thread, must not block),
        // and each new line state (line thread).
        std::function<void(const Packet&)> unitPacket;
        std::function<void(LineState)> lineState;
    };

    explicit Service(Setup setup);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Opens the unit and the sockets. False with `error` when the unit was not
    // found or a socket could not be made.
    bool start(std::string& error);
    // Serves until stop() or, when `handleSignals` is set, a request to stop
    // from outside (SIGTERM/SIGINT, which io::prepareProcess has blocked; on
    // Windows Ctrl+C, Ctrl+Break or the console's close); then closes the
    // clients, says goodbye to the unit and removes the socket. Returns the
    // exit status: 0, or 1 when the sockets failed (waiting on them, or a
    // listening socket), so that a supervisor restarts the service.
    int run(bool handleSignals = false);
    // Any thread: makes run() end.
    void stop();

    std::string socketPath() const { return socketPath_; }
    int tcpPort() const { return tcpPort_; }
    // The web remote's port (-1 without --http) and its token.
    int httpPort() const { return httpPort_; }
    std::string httpToken() const { return site_.token; }
    std::size_t clientCount() const { return hub_.count(); }
    UnitLine& unit() { return *unit_; }

private:
    struct Client;
    struct Delivery;

    void log(const std::string& line);
    bool readToken(std::string& error);
    bool openUnixSocket(std::string& error);
    bool openTcpListener(std::string& error);
    // Where a TCP listener publishes its address and token, when it does.
    bool publishEndpoint(const std::string& host, std::string& error);
    // The web remote: its listener and token (service_web.cpp), and a web
    // client's requests.
    bool openHttp(std::string& error);
    void processHttp(Client& c);
    // The hub's handler.
    std::unique_ptr<Connection> connection(Listener from) override;
    void received(Connection& c) override;
    bool reading(const Connection& c) override;
    void woken() override;
    std::string refusal(Refusal why, const std::string& text) override;
    // Handles what the client has sent, up to its next request at the unit.
    void process(Client& c);
    void processFrame(Client& c);
    void processJson(Client& c);
    void handleJsonRequest(Client& c, const std::string& line);
    // Queues bytes for the client (a web client's API reply as its
    // response); false when that closed it (not reading).
    bool send(Client& c, const std::string& bytes);
    void deliver();
    void post(Delivery d);
    void wake();

    // Line-thread work for the JSON API.
    std::string jsonHello(const Json& id);
    std::string jsonGet(const ApiRequest& r);
    // A line_lost error while the unit's line is lost or reconnecting.
    std::optional<std::string> lineFailure(const Json& id);
    std::string jsonSet(const ApiRequest& r);
    std::string jsonIr(const ApiRequest& r);
    // The controls table as the pages lay it out, with the unit's effects (service_web.cpp).
    std::string jsonControls(const Json& id);
    Json controlValues(bool withUnread);
    // The configuration requests (service_config.cpp): the unit's file, a
    // restore from one, and a file compared with the unit.
    std::string jsonSave(const Json& id);
    std::string jsonRestore(const ApiRequest& r);
    std::string jsonDiff(const ApiRequest& r);
    void waitLineQuiet();
    std::string linkNote();
    void postRestoredChanges(const Json& before, const std::array<std::uint8_t, 256>& paramsBefore, int countBefore);
    // Events any thread may post: parameter changes as the unit reports them,
    // and a name the unit acknowledged (which it never reports itself).
    // The unit's own message to every client (reader or line thread).
    void postUnitPacket(const Packet& p);
    void postParamChanges(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& changes);
    void postNameEvent(const std::string& control, const Json& value);
    // A name a frame client gave the unit, once the unit took it.
    void postPassedName(const Packet& request, const std::vector<Packet>& answers);
    // Events for the unit's own messages (reader or line thread).
    std::vector<std::string> jsonEvents(const Packet& p);

    Setup setup_;
    std::unique_ptr<UnitLine> unit_;
    std::string socketPath_;
    int tcpPort_ = -1;
    int httpPort_ = -1;
    http::Site site_;
    std::string webFilePath_; // the web remote's address and token, removed at the end
    bool webFileWritten_ = false;
    std::string endpointPath_; // written by this service, removed at the end
    bool endpointWritten_ = false;
    std::mutex deliveriesMutex_; // guards deliveries_
    std::vector<Delivery> deliveries_;
    std::mutex logMutex_;
    ClientHub hub_; // last: its clients and listeners go first
};

} // namespace bm::service
