// The bridge's thread owns the libmosquitto client and everything it
// publishes. It waits in poll() on the broker's socket and on an eventfd that
// the unit side's reports and the command outcomes ring, so a change is
// published the moment it arrives and an idle bridge sleeps. Connecting is
// non-blocking; a broker that is down or refuses is tried again after a delay
// that doubles up to a cap, and each new connection gets the discovery and the
// whole current state again.
//
// Before it publishes anything on a connection, the bridge reads the retained
// claim on its id (<prefix>/<id>/owner) and the availability beside it: a claim
// of another instance whose availability is not "offline" is a live service
// with the same id, and this one leaves the broker instead of fighting over
// the topics. A probe message to itself marks the end of the retained messages.
// That look is taken on a connection without a last will, so that a service
// that stays off never leaves "offline" behind for the one that holds the id;
// a service that may take the id connects again, with the will.
#include "service/mqtt_bridge.h"

#include "service/mqtt_discovery.h"

#include <mosquitto.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
#include <nlohmann/json.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace bm::service {
namespace {

using Clock = std::chrono::steady_clock;

// A command that came back from the unit side, for the log.
struct Outcome {
    UnitCommand command;
    CommandOutcome outcome;
    std::string payload; // as it came from the broker
};

// What other threads hand to the bridge's thread. Shared, so that a unit-side
// report or a late command outcome after the bridge is gone lands in a closed
// inbox instead of a destroyed one.
struct Inbox {
    explicit Inbox() : wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Inbox()
    {
        if (wake >= 0)
            ::close(wake);
    }

    void push(std::variant<UnitEvent, Outcome> item)
    {
        {
            std::lock_guard lock(mutex);
            if (closed)
                return;
            items.push_back(std::move(item));
        }
        ring();
    }
    void close()
    {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        ring();
    }
    void ring() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake, &one, sizeof one);
    }

    const int wake;
    std::mutex mutex; // guards items and closed
    std::deque<std::variant<UnitEvent, Outcome>> items;
    bool closed = false;
};

// A command's value is a short text; a longer payload is not one.
constexpr std::size_t kMaxCommandBytes = 256;
// A broker that has not accepted the connection by then is given up on and tried again.
constexpr auto kConnectLimit = std::chrono::seconds(10);

// "VOLUME_UP" -> "volume-up", as the key's button is named.
std::string lowerKey(const std::string& key)
{
    std::string out;
    for (unsigned char c : key)
        out += c == '_' ? '-' : static_cast<char>(std::tolower(c));
    return out;
}

MqttOptions withInstance(MqttOptions options)
{
    if (options.instance.empty())
        options.instance = "pid " + std::to_string(::getpid());
    return options;
}

} // namespace

struct MqttBridge::Impl {
    Impl(UnitView& unit, MqttOptions options, Log log)
        : unit(unit), options(withInstance(std::move(options))), topics(this->options), log(std::move(log)),
          inbox(std::make_shared<Inbox>())
    {
        if (!this->log)
            this->log = [](const std::string& line) { std::cerr << "brennmarkd: mqtt: " << line << '\n'; };
    }

    UnitView& unit;
    const MqttOptions options;
    const MqttTopics topics;
    Log log;
    std::shared_ptr<Inbox> inbox;
    std::thread thread;
    std::atomic<int> connectionCount{0};
    std::atomic<long> stateCount{0};

    // Everything below belongs to the bridge's thread.
    mosquitto* client = nullptr;
    bool connected = false;     // the broker accepted the connection
    int failures = 0;           // attempts that failed since the last connection
    Clock::time_point nextAttempt{};
    Clock::time_point attemptStarted{};
    bool attempting = false;
    bool stopping = false;
    std::optional<int> connack;                 // a CONNACK's code not acted on yet
    UnitSnapshot current;                       // the unit as its reports left it
    bool valuesRead = false;                    // `current` was read since the unit last connected
    // The On key went to the sleeping unit: until its line changes, commands
    // go on to the unit, whose line waits (bounded) until it is awake.
    bool wakeSent = false;
    std::map<std::string, std::string> sent;    // topic -> payload, this connection
    std::set<std::string> discoveryTopics;      // the config topics wanted now
    std::set<std::string> retainedDiscovery;    // configs of this id the broker held at connection
    std::set<int> unacknowledged;               // message ids the broker has not acknowledged

    // The claim on the id, per connection: checking until the probe is back.
    enum class Claim { Checking, Owner, Taken } claim = Claim::Checking;
    std::string claimHolder;     // the instance in the retained claim
    std::string claimPresence;   // the retained availability beside it
    bool cleared = false;        // the claim was checked: the next connection is the owner's
    std::function<void()> idTakenHandler;
    std::atomic<bool> taken{false};

    std::string probeTopic() const { return topics.owner() + "/probe"; }
    bool createClient(std::string& error);
    void destroyClient();
    void run();
    void tryConnect();
    void scheduleRetry(const std::string& why);
    void pump(int timeoutMs);
    void drainInbox();
    void handle(const UnitEvent& event);
    void publish(const std::string& topic, const std::string& payload, bool isState = true, bool force = false);
    void publishAll();
    void publishDiscovery();
    void publishState(const std::string& name, bool force = false);
    void publishAvailability();
    void publishResult(const UnitCommand& command, const std::string& payload, const char* outcome,
                       const std::string& reason);
    Presence presence() const;
    void decideClaim();
    void subscribe(std::vector<std::string> filters);
    void giveUpId(const std::string& holder);
    std::string claimPayload() const;
    void onConnect(int rc);
    void afterConnack();
    void onDisconnect(int rc);
    struct Received {
        std::string topic;
        std::string payload;
        bool retain = false;
    };
    std::deque<Received> received; // messages read and not handled yet
    void onMessage(const Received& message);
    void farewell();
};

bool MqttBridge::Impl::createClient(std::string& error)
{
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    // The client id is this instance's own: a second service with the same
    // --mqtt-id must not throw the first off the broker (that fires the
    // first's will); the claim on the id finds it instead.
    client = mosquitto_new(nullptr, true, this);
    if (!client) {
        error = "cannot create the MQTT client";
        return false;
    }
    // A state is a few bytes written right after the result and the display
    // lines: with Nagle's algorithm it would wait for the broker's delayed
    // acknowledgement of those (about 40 ms on Linux).
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client, [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->onConnect(rc); });
    mosquitto_disconnect_callback_set(client,
                                      [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->onDisconnect(rc); });
    mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int mid) {
        static_cast<Impl*>(self)->unacknowledged.erase(mid);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* m) {
        // Handled after the library's read returns, as the CONNACK is.
        static_cast<Impl*>(self)->received.push_back(
            {m->topic ? m->topic : "",
             std::string(static_cast<const char*>(m->payload), m->payloadlen > 0 ? static_cast<std::size_t>(m->payloadlen) : 0),
             m->retain});
    });
    const std::string offline = "offline";
    // One will for every entity: the availability topic they all follow.
    int rc = cleared ? mosquitto_will_set(client, topics.availability().c_str(), static_cast<int>(offline.size()),
                                          offline.data(), 1, true)
                     : MOSQ_ERR_SUCCESS;
    if (rc == MOSQ_ERR_SUCCESS && !options.username.empty())
        rc = mosquitto_username_pw_set(client, options.username.c_str(),
                                       options.password.empty() ? nullptr : options.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && options.tls)
        rc = mosquitto_tls_set(client, nullptr, options.caPath.c_str(), nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc);
        destroyClient();
        return false;
    }
    return true;
}

void MqttBridge::Impl::destroyClient()
{
    if (client)
        mosquitto_destroy(client);
    client = nullptr;
    connected = false;
    attempting = false;
    connack.reset();
}

void MqttBridge::Impl::scheduleRetry(const std::string& why)
{
    connected = false;
    attempting = false;
    ++failures;
    const auto delay = mqttRetryDelay(options, failures);
    nextAttempt = Clock::now() + delay;
    std::string reason = why;
    if (!reason.empty() && reason.back() == '.')
        reason.pop_back(); // libmosquitto's texts end with one
    log(reason + "; trying " + options.host + ":" + std::to_string(options.port) + " again in "
        + std::to_string(delay.count()) + " ms");
}

void MqttBridge::Impl::tryConnect()
{
    // A fresh client each time: nothing of a failed attempt (a half-open
    // socket, queued messages) carries over; the state is published anew.
    std::string error;
    if (client)
        destroyClient();
    if (!createClient(error)) {
        scheduleRetry(error);
        return;
    }
    const int rc = mosquitto_connect_async(client, options.host.c_str(), options.port, options.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        scheduleRetry(std::string("cannot reach the broker: ")
                      + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
        destroyClient();
        return;
    }
    attempting = true;
    attemptStarted = Clock::now();
}

void MqttBridge::Impl::onConnect(int rc)
{
    // Acted on in afterConnack, outside the library's callback: publishing from
    // inside it takes the library's locks in another order.
    connack = rc;
}

void MqttBridge::Impl::afterConnack()
{
    const int rc = *connack;
    connack.reset();
    if (rc != 0) {
        scheduleRetry(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
        mosquitto_disconnect(client);
        return;
    }
    connected = true;
    attempting = false;
    sent.clear();
    unacknowledged.clear();
    received.clear();
    claimHolder.clear();
    claimPresence.clear();
    retainedDiscovery.clear();
    if (cleared) {
        // The owner's connection: the claim, then everything. This id's
        // discovery configs come back as retained: those not wanted now
        // (another layout's, another unit's) are removed as they arrive.
        cleared = false; // a later connection looks again
        failures = 0;
        ++connectionCount;
        log("connected to " + options.host + ":" + std::to_string(options.port));
        claim = Claim::Owner;
        publish(topics.owner(), claimPayload(), false, true);
        publish(topics.legacyService(), "", false); // earlier versions' presence topic
        std::vector<std::string> filters = {topics.owner(), topics.setFilter()};
        for (const std::string& f : topics.discoveryFilters())
            filters.push_back(f);
        subscribe(filters);
        publishAll();
        return;
    }
    // The look at the claim: the retained claim and availability, then the
    // probe (the broker sends the retained messages of a subscription before
    // it handles the publish that follows it).
    claim = Claim::Checking;
    subscribe({topics.owner(), topics.availability(), probeTopic()});
    const std::string probe = options.instance;
    mosquitto_publish(client, nullptr, probeTopic().c_str(), static_cast<int>(probe.size()), probe.data(), 1, false);
}

void MqttBridge::Impl::subscribe(std::vector<std::string> filters)
{
    std::vector<char*> pointers;
    for (std::string& f : filters)
        pointers.push_back(f.data());
    mosquitto_subscribe_multiple(client, nullptr, static_cast<int>(pointers.size()), pointers.data(), 1, 0, nullptr);
}

std::string MqttBridge::Impl::claimPayload() const
{
    return nlohmann::json{{"instance", options.instance}}.dump();
}

void MqttBridge::Impl::decideClaim()
{
    if (!claimHolder.empty() && claimHolder != options.instance && claimPresence != "offline"
        && !claimPresence.empty()) {
        giveUpId(claimHolder);
        return;
    }
    if (!claimHolder.empty() && claimHolder != options.instance)
        log("the id " + options.id + " was last held by " + claimHolder + ", now gone; taking it");
    // Free: connect again at once, as the owner, with the will.
    cleared = true;
    connected = false; // first: the library may call back from inside the disconnect
    attempting = false;
    mosquitto_disconnect(client);
    nextAttempt = Clock::now();
}

void MqttBridge::Impl::giveUpId(const std::string& holder)
{
    claim = Claim::Taken;
    log("the id " + options.id + " is held by " + holder + " on " + options.host + ":" + std::to_string(options.port)
        + "; staying off the broker (give this service another --mqtt-id)");
    connected = false;
    attempting = false;
    mosquitto_disconnect(client);
    if (idTakenHandler)
        idTakenHandler();
    taken = true; // after the handler: whoever sees it set finds the handler done
}

void MqttBridge::Impl::onDisconnect(int rc)
{
    // A refused CONNACK closes the connection too: afterConnack says why and
    // schedules the one retry.
    if (connack && *connack != 0)
        return;
    if (!stopping && claim != Claim::Taken && (connected || attempting))
        scheduleRetry(connected ? std::string("lost the broker: ") + mosquitto_strerror(rc)
                                : std::string("cannot reach the broker: ") + mosquitto_strerror(rc));
    connected = false;
    attempting = false;
}

void MqttBridge::Impl::publish(const std::string& topic, const std::string& payload, bool isState, bool force)
{
    if (!connected || claim != Claim::Owner)
        return;
    auto it = sent.find(topic);
    if (!force && it != sent.end() && it->second == payload)
        return;
    int mid = 0;
    const bool retain = topic != topics.result();
    // Counted first: a subscriber may have the message before this thread
    // runs again.
    if (isState)
        ++stateCount;
    const int rc = mosquitto_publish(client, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (isState)
            --stateCount;
        log("cannot publish " + topic + ": " + mosquitto_strerror(rc));
        return;
    }
    sent[topic] = payload;
    unacknowledged.insert(mid);
}

Presence MqttBridge::Impl::presence() const
{
    if (current.product.empty())
        return Presence::NoUnit;
    switch (current.line) {
    case UnitLineState::Connected: return valuesRead ? Presence::Online : Presence::NoUnit;
    case UnitLineState::Asleep: return Presence::Asleep;
    default: return Presence::NoUnit;
    }
}

void MqttBridge::Impl::publishAvailability()
{
    publish(topics.availability(), presenceText(presence()), false);
}

void MqttBridge::Impl::publishDiscovery()
{
    // A config that is no longer wanted (another ROM or layout, an earlier
    // run's) is removed.
    std::set<std::string> now;
    for (const MqttMessage& m : discoveryMessages(options, current)) {
        publish(m.topic, m.payload, false);
        now.insert(m.topic);
    }
    for (const std::string& old : discoveryTopics)
        if (!now.count(old))
            publish(old, "", false, true);
    for (const std::string& old : retainedDiscovery)
        if (!now.count(old) && !discoveryTopics.count(old))
            publish(old, "", false, true);
    retainedDiscovery.clear();
    discoveryTopics = std::move(now);
}

void MqttBridge::Impl::publishState(const std::string& name, bool force)
{
    const auto it = current.values.find(name);
    if (it != current.values.end())
        publish(topics.state(name), stateText(current, name, it->second), true, force);
}

void MqttBridge::Impl::publishAll()
{
    if (!connected || claim != Claim::Owner)
        return;
    // Discovery first, so that Home Assistant has the entities when their
    // states arrive; the availability last, once the values are there.
    publishDiscovery();
    for (const auto& entry : current.values)
        publishState(entry.first);
    for (int i = 0; i < 2; ++i)
        publish(topics.state(kDisplayState[i]), stateText(current, kDisplayState[i], current.frontPanel[i]));
    publish(topics.state(kLineState), unitLineText(current.line));
    publishAvailability();
}

void MqttBridge::Impl::publishResult(const UnitCommand& command, const std::string& payload, const char* outcome,
                                     const std::string& reason)
{
    nlohmann::json result = {{"control", command.kind == UnitCommand::Kind::Key ? std::string(kKeyCommand) : command.name},
                             {"value", payload},
                             {"outcome", outcome}};
    if (!reason.empty())
        result["reason"] = reason;
    if (command.kind == UnitCommand::Kind::Set) {
        const auto it = current.values.find(command.name);
        if (it != current.values.end())
            result["state"] = stateText(current, command.name, it->second);
    }
    publish(topics.result(), result.dump(), false, true);
}

void MqttBridge::Impl::handle(const UnitEvent& event)
{
    switch (event.kind) {
    case UnitEvent::Kind::Value: {
        const auto before = current.values.find(event.name);
        const bool changed = before == current.values.end() || before->second != event.value;
        current.values[event.name] = event.value;
        if (changed && (event.name == "custom-name" || event.name.rfind("input-name-", 0) == 0)) {
            // The device's name or the inputs' names: the entities change.
            publishDiscovery();
            publishState("input");
            publishState("record-input");
        }
        publishState(event.name);
        break;
    }
    case UnitEvent::Kind::FrontPanel:
        for (int i = 0; i < 2; ++i) {
            current.frontPanel[i] = event.frontPanel[i];
            publish(topics.state(kDisplayState[i]), stateText(current, kDisplayState[i], current.frontPanel[i]));
        }
        break;
    case UnitEvent::Kind::Line: {
        const UnitLineState before = current.line;
        wakeSent = false;
        current.line = event.line;
        if (event.line != UnitLineState::Connected)
            valuesRead = false;
        else if (before == UnitLineState::Asleep && !current.product.empty())
            valuesRead = true; // woken: the line stayed up, the values were kept current
        // The unit went to sleep (its own key, the remote, a client): it is in
        // standby, whoever put it there.
        if (event.line == UnitLineState::Asleep || (before == UnitLineState::Asleep && valuesRead)) {
            for (const ControlView& c : current.controls)
                if (c.name == "power" && c.choices.size() == 2) {
                    current.values["power"] = c.choices[event.line == UnitLineState::Asleep ? 0 : 1];
                    publishState("power");
                }
        }
        publish(topics.state(kLineState), unitLineText(current.line));
        publishAvailability();
        break;
    }
    case UnitEvent::Kind::Controls:
        current = unit.snapshot();
        valuesRead = current.line == UnitLineState::Connected;
        publishAll();
        break;
    }
}

void MqttBridge::Impl::drainInbox()
{
    std::deque<std::variant<UnitEvent, Outcome>> items;
    {
        std::lock_guard lock(inbox->mutex);
        items.swap(inbox->items);
    }
    for (auto& item : items) {
        if (auto* event = std::get_if<UnitEvent>(&item)) {
            handle(*event);
            continue;
        }
        const Outcome& o = std::get<Outcome>(item);
        const std::string what = o.command.kind == UnitCommand::Kind::Key
                                     ? "key " + o.command.name
                                     : "set " + o.command.name + " " + o.payload;
        switch (o.outcome.result) {
        case bm::Outcome::Done:
        case bm::Outcome::Unchanged:
            if (o.command.kind == UnitCommand::Kind::Set && !o.outcome.text.empty()) {
                current.values[o.command.name] = o.outcome.text;
                publishState(o.command.name);
            }
            publishResult(o.command, o.payload, "done", {});
            break;
        case bm::Outcome::Invalid:
            log(what + " refused, nothing sent: " + o.outcome.text);
            // Home Assistant shows what it sent until the state says otherwise.
            if (o.command.kind == UnitCommand::Kind::Set)
                publishState(o.command.name, true);
            publishResult(o.command, o.payload, "refused", o.outcome.text);
            break;
        default:
            log(what + " failed: " + o.outcome.text);
            if (o.command.kind == UnitCommand::Kind::Key ? o.command.name == "ON" : o.command.name == "power")
                wakeSent = false; // the wake did not start
            if (o.command.kind == UnitCommand::Kind::Set)
                publishState(o.command.name, true);
            publishResult(o.command, o.payload, outcomeWord(o.outcome.result), o.outcome.text);
            break;
        }
    }
}

void MqttBridge::Impl::onMessage(const Received& message)
{
    const std::string& topic = message.topic;
    if (stopping)
        return;
    const std::string& text = message.payload;
    if (topic == probeTopic()) {
        if (claim == Claim::Checking && text == options.instance)
            decideClaim();
        return;
    }
    if (topic == topics.owner()) {
        const auto claimJson = nlohmann::json::parse(text, nullptr, false);
        const std::string holder = claimJson.is_object() ? claimJson.value("instance", "") : "";
        if (claim == Claim::Checking) {
            claimHolder = holder;
        } else if (claim == Claim::Owner && !holder.empty() && holder != options.instance) {
            // Two services that claimed the id at the same moment: the one
            // with the smaller name keeps it.
            if (holder < options.instance)
                giveUpId(holder);
            else
                publish(topics.owner(), claimPayload(), false, true);
        }
        return;
    }
    if (topic == topics.availability()) {
        if (claim == Claim::Checking)
            claimPresence = text;
        return;
    }
    if (topics.isDiscovery(topic)) {
        if (claim == Claim::Checking && message.retain && !text.empty())
            retainedDiscovery.insert(topic);
        else if (claim == Claim::Owner && !text.empty() && !discoveryTopics.count(topic))
            publish(topic, "", false, true); // another layout's or an earlier unit's
        return;
    }
    const std::string name = topics.controlOfSet(topic);
    if (name.empty() || claim != Claim::Owner)
        return;
    if (message.retain) {
        // A retained command would run again at every reconnection.
        log("ignored a retained command on " + topic);
        return;
    }
    if (text.size() > kMaxCommandBytes) {
        log("ignored a command of more than " + std::to_string(kMaxCommandBytes) + " bytes on " + topic);
        return;
    }
    const std::string& value = text;
    if (value.find_first_of(std::string("\0\n\r", 3)) != std::string::npos) {
        log("ignored a command with control characters on " + topic);
        return;
    }
    UnitCommand command;
    if (name == kKeyCommand) {
        command.kind = UnitCommand::Kind::Key;
        command.name = value;
    } else {
        command.kind = UnitCommand::Kind::Set;
        command.name = name;
        command.value = commandValue(current, name, value);
    }
    // What Home Assistant shows as unavailable is not acted on either: only
    // the power switch and the On key reach a sleeping unit.
    const std::string entity = command.kind == UnitCommand::Kind::Key ? "key-" + lowerKey(value) : name;
    const bool waking = wakeSent && presence() == Presence::Asleep;
    if (!waking && !availableFor(needsOf(entity), presence())) {
        const std::string why = std::string("the unit is ") + presenceText(presence());
        log((command.kind == UnitCommand::Kind::Key ? "key " + value : "set " + name + " " + value)
            + " refused, nothing sent: " + why);
        if (command.kind == UnitCommand::Kind::Set)
            publishState(name, true);
        publishResult(command, value, "refused", why);
        return;
    }
    // The switch turned on while the unit sleeps: the unit's records still
    // hold what it played before it slept, so the wake-up is its On key.
    UnitCommand toSend = command;
    if (command.kind == UnitCommand::Kind::Set && command.name == "power" && presence() == Presence::Asleep
        && command.value != "standby") {
        toSend.kind = UnitCommand::Kind::Key;
        toSend.name = "ON";
        toSend.value.clear();
    }
    if (toSend.kind == UnitCommand::Kind::Key && toSend.name == "ON" && presence() == Presence::Asleep)
        wakeSent = true;
    std::weak_ptr<Inbox> box = inbox;
    unit.command(toSend, [box, command, value](const CommandOutcome& outcome) {
        if (auto in = box.lock())
            in->push(Outcome{command, outcome, value});
    });
}

void MqttBridge::Impl::pump(int timeoutMs)
{
    pollfd fds[2] = {{inbox->wake, POLLIN, 0}, {-1, 0, 0}};
    const int socket = client ? mosquitto_socket(client) : -1;
    if (socket >= 0)
        fds[1] = {socket, static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
    const int n = ::poll(fds, socket >= 0 ? 2 : 1, timeoutMs);
    if (n > 0 && (fds[0].revents & POLLIN)) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto r = ::read(inbox->wake, &count, sizeof count);
    }
    if (socket < 0)
        return;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
        mosquitto_loop_read(client, 1);
    if (client && mosquitto_socket(client) >= 0 && mosquitto_want_write(client))
        mosquitto_loop_write(client, 1);
    if (client && mosquitto_socket(client) >= 0)
        mosquitto_loop_misc(client);
    if (connack && client)
        afterConnack();
    while (!received.empty()) {
        const Received m = std::move(received.front());
        received.pop_front();
        if (connected)
            onMessage(m);
    }
}

void MqttBridge::Impl::run()
{
    current = unit.snapshot();
    valuesRead = current.line == UnitLineState::Connected;
    nextAttempt = Clock::now();
    for (;;) {
        {
            std::lock_guard lock(inbox->mutex);
            stopping = inbox->closed;
        }
        if (stopping)
            break;
        drainInbox();
        const auto now = Clock::now();
        const bool hasSocket = client && mosquitto_socket(client) >= 0;
        if (!hasSocket && (connected || attempting)) {
            // The library closed the socket without a callback reaching us.
            scheduleRetry("lost the broker");
        }
        if (attempting && !connected && now - attemptStarted > kConnectLimit) {
            scheduleRetry("no answer from the broker");
            destroyClient();
        }
        if (!connected && !attempting && !taken && Clock::now() >= nextAttempt)
            tryConnect();
        int timeout = 1000;
        if (!connected && !attempting) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000));
        }
        pump(timeout);
    }
    farewell();
}

void MqttBridge::Impl::farewell()
{
    // Leave "offline" behind on purpose: a clean disconnect does not fire the
    // will. The broker's acknowledgements are read before the socket is
    // closed: unread data at close resets the connection, and the broker may
    // then drop what it had not read yet.
    if (connected && claim == Claim::Owner) {
        const auto limit = Clock::now() + std::chrono::seconds(1);
        publish(topics.availability(), presenceText(Presence::Offline), false);
        while (connected && !unacknowledged.empty() && Clock::now() < limit)
            pump(50);
        if (connected)
            mosquitto_disconnect(client);
        connected = false;
        while (mosquitto_socket(client) >= 0 && Clock::now() < limit)
            pump(50);
    }
    destroyClient();
}

MqttBridge::MqttBridge(UnitView& unit, MqttOptions options, Log log)
    : impl_(std::make_unique<Impl>(unit, std::move(options), std::move(log)))
{
}

MqttBridge::~MqttBridge()
{
    stop();
}

bool MqttBridge::start(std::string& error)
{
    if (impl_->thread.joinable())
        return true;
    if (impl_->inbox->wake < 0) {
        error = std::string("cannot create the bridge's wake-up descriptor: ") + std::strerror(errno);
        return false;
    }
    if (!validMqttName(impl_->options.id) || !validMqttName(impl_->options.prefix)
        || !validMqttName(impl_->options.discoveryPrefix)) {
        error = "the MQTT id and prefix take 1 to 64 of A-Z a-z 0-9 _ -";
        return false;
    }
    // The client is made once here so that a setting the library refuses is
    // reported at start; the thread makes its own for each attempt.
    if (!impl_->createClient(error))
        return false;
    impl_->destroyClient();
    std::weak_ptr<Inbox> box = impl_->inbox;
    impl_->unit.setListener([box](const UnitEvent& event) {
        if (auto in = box.lock())
            in->push(event);
    });
    impl_->thread = std::thread([this] { impl_->run(); });
    return true;
}

void MqttBridge::stop()
{
    if (!impl_->thread.joinable())
        return;
    impl_->unit.setListener({});
    impl_->inbox->close();
    impl_->thread.join();
}

void MqttBridge::onIdTaken(std::function<void()> handler)
{
    impl_->idTakenHandler = std::move(handler);
}

bool MqttBridge::idTaken() const
{
    return impl_->taken.load();
}

int MqttBridge::connections() const
{
    return impl_->connectionCount.load();
}

long MqttBridge::statesPublished() const
{
    return impl_->stateCount.load();
}

} // namespace bm::service
