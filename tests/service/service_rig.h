// brennmarkd's service in-process against the simulated unit over a
// pseudo-terminal (strict: it counts every request sent while an answer was
// due), and raw clients on its socket: frame clients that speak the unit's
// protocol, JSON clients that speak the API.
#pragma once

#include "link/packet.h"
#include "service/mqtt_service_view.h"
#include "service/service.h"
#include "sim/sim_server.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bm::test {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(std::uint8_t code, const Bytes& data = {});

// brennmark-cli's own settings under $XDG_CONFIG_HOME (set it first): the
// link's pacing and its save, restore and wake-up waits cut down to the
// simulator's speed; the acknowledgement wait keeps its default.
void quickCliSettings();

class ServiceRig {
public:
    ~ServiceRig();
    // Starts the unit (strict, fast unless `options` says otherwise) and the
    // service on a socket in a fresh folder; the service's loop runs on a thread.
    // With `unitLater` the service starts first, on options.linkPath, and the
    // test starts the unit (sim->start()) when it likes.
    bool start(sim::SimOptions options = strictFast(), service::ServiceOptions extra = {}, bool unitLater = false);
    // The service alone, on a unit the test keeps itself.
    bool startService(const std::string& port, service::ServiceOptions extra = {});
    void stopService();
    static sim::SimOptions strictFast();

    std::string socketPath() const { return service->socketPath(); }
    std::vector<std::string> logLines() const;
    // The codes of the requests the unit has read since the last clear.
    std::vector<std::uint8_t> unitCodes() const;

    std::unique_ptr<sim::SimServer> sim;
    std::unique_ptr<service::Service> service;
    // The service's settings store, when not a fresh one in memory.
    std::function<std::unique_ptr<SettingsStore>()> makeSettings;
    // The unit view brennmarkd runs beside the service (MQTT, remotes), wired
    // as the program wires it; it must outlive the service.
    service::ServiceUnitView* view = nullptr;

private:
    std::string dir_;
    std::thread loop_;
    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
};

// One client on the service's Unix socket (or a TCP port).
class RawClient {
public:
    explicit RawClient(const std::string& socketPath);
    explicit RawClient(int tcpPort);
    ~RawClient();
    bool connected() const { return fd_ >= 0; }
    bool send(const Bytes& bytes);
    bool send(const std::string& text);
    // Frame clients: every packet that arrives within `ms`.
    std::vector<std::uint8_t> codesWithin(int ms);
    // Waits up to `ms` for a packet of `code`; every packet read is kept in seen().
    bool waitForCode(std::uint8_t code, int ms);
    const std::vector<Bytes>& seen() const { return seen_; }
    // JSON clients: the next line within `ms` (nothing on time-out or close).
    std::optional<std::string> line(int ms);
    // True when the service closed the connection within `ms`.
    bool closedWithin(int ms);
    void close();
    // Ends both directions without giving up the descriptor (another thread
    // may still be sending on it); close() once that thread is done.
    void shutdown();

private:
    bool pump(int ms); // one read; false on close
    int fd_ = -1;
    Bytes stream_;
    std::string text_;
    std::vector<Bytes> seen_;
    bool peerClosed_ = false;
};

} // namespace bm::test
