// The unit as a Home Assistant device over MQTT. The bridge owns one broker
// connection and one thread of its own: it publishes discovery, retained state
// and availability, and hands commands from the set topics to the unit view.
// The unit side only ever puts a report into the bridge's inbox; it never
// waits on the broker.
#pragma once

#include "service/mqtt_options.h"
#include "service/unit_view.h"

#include <functional>
#include <memory>
#include <string>

namespace bm::service {

class MqttBridge {
public:
    using Log = std::function<void(const std::string&)>;

    // `log` gets one line per event (connected, retrying, a command refused);
    // the default writes to standard error.
    MqttBridge(UnitView& unit, MqttOptions options, Log log = {});
    ~MqttBridge(); // stop()

    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Starts the bridge's thread; a broker that cannot be reached is retried
    // with back-off from there. False only when the client cannot be set up
    // (bad options, no TLS in the library).
    bool start(std::string& error);

    // Publishes "offline", disconnects (waiting at most a second for the
    // broker) and joins the thread. Safe to call twice.
    void stop();

    // Called once, from the bridge's thread, when another instance holds the
    // id on the broker: the bridge has left the broker and stays off it. Set
    // before start().
    void onIdTaken(std::function<void()> handler);
    // True once that happened.
    bool idTaken() const;

    // Counters for the logs and the tests: connections made, and state
    // messages published.
    int connections() const;
    long statesPublished() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace bm::service
