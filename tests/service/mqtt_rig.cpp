// The broker runs as a child process; its port is found by binding port 0 on
// loopback and is kept for restarts, so the bridge reconnects to the same place.
#include "tests/service/mqtt_rig.h"

#include "tests/support/wait_until.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace bm::test {
namespace {

int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

bool accepts(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

} // namespace

Broker::Broker()
{
    char pattern[] = "/tmp/bm-broker-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    port_ = freePort();
}

Broker::~Broker()
{
    stop();
    std::error_code ec;
    if (!std::getenv("BM_KEEP_BROKER"))
        std::filesystem::remove_all(folder_, ec);
}

bool Broker::start(const std::string& extraConfig)
{
    const std::string conf = folder_ + "/mosquitto.conf";
    {
        std::ofstream out(conf);
        // Run as root, mosquitto drops to its own user unless told to stay.
        const passwd* me = ::getpwuid(::geteuid());
        if (me)
            out << "user " << me->pw_name << "\n";
        out << "listener " << port_ << " 127.0.0.1\n"
            << "persistence false\n"
            << "log_dest file " << folder_ << "/broker.log\nlog_type all\n"
            << (extraConfig.empty() ? "allow_anonymous true\n" : extraConfig);
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // not left behind by a test that is killed
        ::execl(BM_MOSQUITTO_PATH, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return waitUntil([this] { return accepts(port_); }, 5000);
}

void Broker::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL); // a broker that dies, not one that says goodbye
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

Watcher::Watcher(int port, const std::string& user, const std::string& password)
{
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (!user.empty())
        mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
        if (rc != 0)
            return;
        mosquitto_subscribe(m, nullptr, "#", 1);
        auto* w = static_cast<Watcher*>(self);
        std::lock_guard lock(w->mutex_);
        w->connected_ = true;
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
        auto* w = static_cast<Watcher*>(self);
        std::lock_guard lock(w->mutex_);
        const std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
        ++w->counts_[m->topic];
        // An empty payload removes a retained message; subscribers already
        // there get it without the retain flag.
        if (payload.empty())
            w->last_.erase(m->topic);
        else
            w->last_[m->topic] = payload;
    });
    mosquitto_connect(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
}

Watcher::~Watcher()
{
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

bool Watcher::connected() const
{
    std::lock_guard lock(mutex_);
    return connected_;
}

std::string Watcher::last(const std::string& topic, bool* found) const
{
    std::lock_guard lock(mutex_);
    auto it = last_.find(topic);
    if (found)
        *found = it != last_.end();
    return it == last_.end() ? std::string() : it->second;
}

std::vector<std::string> Watcher::topicsUnder(const std::string& head) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [topic, payload] : last_)
        if (topic.rfind(head, 0) == 0)
            out.push_back(topic);
    return out;
}

int Watcher::count(const std::string& topic) const
{
    std::lock_guard lock(mutex_);
    auto it = counts_.find(topic);
    return it == counts_.end() ? 0 : it->second;
}

void Watcher::forget()
{
    std::lock_guard lock(mutex_);
    last_.clear();
    counts_.clear();
}

bool Watcher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             retain)
           == MOSQ_ERR_SUCCESS;
}

} // namespace bm::test
