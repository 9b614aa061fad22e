// The bridge's thread owns the libmosquitto client and everything it
// publishes. It waits in poll() on the broker's socket and on an eventfd that
// the unit side's reports and the command outcomes ring, so a change is
// published the moment it arrives and an idle bridge sleeps. Connecting is
// non-blocking; a broker that is down or refuses is tried again after a delay
// that doubles up to a cap, and each new connection gets the discovery and the
// whole current state again.
#include "service/mqtt_bridge.h"

#include "service/mqtt_discovery.h"

#include <mosquitto.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
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

} // namespace

struct MqttBridge::Impl {
    Impl(UnitView& unit, MqttOptions options, Log log)
        : unit(unit), options(std::move(options)), topics(this->options), log(std::move(log)),
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
    std::map<std::string, std::string> sent;    // topic -> payload, this connection
    std::set<std::string> discoveryTopics;      // every config topic published so far
    std::set<int> unacknowledged;               // message ids the broker has not acknowledged

    bool createClient(std::string& error);
    void destroyClient();
    void run();
    void tryConnect();
    void scheduleRetry(const std::string& why);
    void pump(int timeoutMs);
    void drainInbox();
    void handle(const UnitEvent& event);
    void publish(const std::string& topic, const std::string& payload, bool isState = true);
    void publishAll();
    void publishAvailability();
    void onConnect(int rc);
    void afterConnack();
    void onDisconnect(int rc);
    void onMessage(const mosquitto_message& message);
    void farewell();
};

bool MqttBridge::Impl::createClient(std::string& error)
{
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    client = mosquitto_new(("brennmark-" + options.id).c_str(), true, this);
    if (!client) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_connect_callback_set(client, [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->onConnect(rc); });
    mosquitto_disconnect_callback_set(client,
                                      [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->onDisconnect(rc); });
    mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int mid) {
        static_cast<Impl*>(self)->unacknowledged.erase(mid);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* m) {
        static_cast<Impl*>(self)->onMessage(*m);
    });
    const std::string offline = "offline";
    int rc = mosquitto_will_set(client, topics.availability().c_str(), static_cast<int>(offline.size()),
                                offline.data(), 1, true);
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
    failures = 0;
    ++connectionCount;
    log("connected to " + options.host + ":" + std::to_string(options.port));
    mosquitto_subscribe(client, nullptr, topics.setFilter().c_str(), 1);
    sent.clear();
    unacknowledged.clear();
    publishAll();
}

void MqttBridge::Impl::onDisconnect(int rc)
{
    if (!stopping && (connected || attempting))
        scheduleRetry(connected ? std::string("lost the broker: ") + mosquitto_strerror(rc)
                                : std::string("cannot reach the broker: ") + mosquitto_strerror(rc));
    connected = false;
    attempting = false;
}

void MqttBridge::Impl::publish(const std::string& topic, const std::string& payload, bool isState)
{
    if (!connected)
        return;
    auto it = sent.find(topic);
    if (it != sent.end() && it->second == payload)
        return;
    int mid = 0;
    const int rc = mosquitto_publish(client, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log("cannot publish " + topic + ": " + mosquitto_strerror(rc));
        return;
    }
    sent[topic] = payload;
    unacknowledged.insert(mid);
    if (isState)
        ++stateCount;
}

void MqttBridge::Impl::publishAvailability()
{
    const bool online = !current.product.empty() && current.line == UnitLineState::Connected;
    publish(topics.availability(), online ? "online" : "offline", false);
}

void MqttBridge::Impl::publishAll()
{
    if (!connected)
        return;
    publish(topics.service(), "online", false);
    // Discovery first, so that Home Assistant has the entities when their
    // states arrive; a config that is no longer wanted (another ROM) is removed.
    std::set<std::string> now;
    for (const MqttMessage& m : discoveryMessages(options, current)) {
        publish(m.topic, m.payload, false);
        now.insert(m.topic);
    }
    for (const std::string& old : discoveryTopics)
        if (!now.count(old))
            publish(old, "", false);
    discoveryTopics.insert(now.begin(), now.end());
    for (const auto& [name, value] : current.values)
        publish(topics.state(name), value);
    for (int i = 0; i < 2; ++i)
        publish(topics.state(kDisplayState[i]), current.frontPanel[i]);
    publish(topics.state(kLineState), unitLineText(current.line));
    publishAvailability();
}

void MqttBridge::Impl::handle(const UnitEvent& event)
{
    switch (event.kind) {
    case UnitEvent::Kind::Value:
        current.values[event.name] = event.value;
        publish(topics.state(event.name), event.value);
        break;
    case UnitEvent::Kind::FrontPanel:
        for (int i = 0; i < 2; ++i) {
            current.frontPanel[i] = event.frontPanel[i];
            publish(topics.state(kDisplayState[i]), current.frontPanel[i]);
        }
        break;
    case UnitEvent::Kind::Line:
        current.line = event.line;
        publish(topics.state(kLineState), unitLineText(current.line));
        publishAvailability();
        break;
    case UnitEvent::Kind::Controls:
        current = unit.snapshot();
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
                                     : "set " + o.command.name + " " + o.command.value;
        switch (o.outcome.result) {
        case bm::Outcome::Done:
        case bm::Outcome::Unchanged:
            if (o.command.kind == UnitCommand::Kind::Set && !o.outcome.text.empty()) {
                current.values[o.command.name] = o.outcome.text;
                publish(topics.state(o.command.name), o.outcome.text);
            }
            break;
        case bm::Outcome::Invalid: log(what + " refused, nothing sent: " + o.outcome.text); break;
        default: log(what + " failed: " + o.outcome.text); break;
        }
    }
}

void MqttBridge::Impl::onMessage(const mosquitto_message& message)
{
    const std::string topic = message.topic ? message.topic : "";
    const std::string name = topics.controlOfSet(topic);
    if (name.empty() || stopping)
        return;
    if (message.retain) {
        // A retained command would run again at every reconnection.
        log("ignored a retained command on " + topic);
        return;
    }
    if (message.payloadlen < 0 || static_cast<std::size_t>(message.payloadlen) > kMaxCommandBytes) {
        log("ignored a command of more than " + std::to_string(kMaxCommandBytes) + " bytes on " + topic);
        return;
    }
    std::string value(static_cast<const char*>(message.payload), static_cast<std::size_t>(message.payloadlen));
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
        command.value = value;
    }
    std::weak_ptr<Inbox> box = inbox;
    unit.command(command, [box, command](const CommandOutcome& outcome) {
        if (auto in = box.lock())
            in->push(Outcome{command, outcome});
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
}

void MqttBridge::Impl::run()
{
    current = unit.snapshot();
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
        if (!connected && !attempting && Clock::now() >= nextAttempt)
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
    if (connected) {
        const auto limit = Clock::now() + std::chrono::seconds(1);
        publish(topics.availability(), "offline", false);
        publish(topics.service(), "offline", false);
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
    if (!validMqttName(impl_->options.id) || !validMqttName(impl_->options.prefix)) {
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

int MqttBridge::connections() const
{
    return impl_->connectionCount.load();
}

long MqttBridge::statesPublished() const
{
    return impl_->stateCount.load();
}

} // namespace bm::service
