// What the MQTT tests share: a real broker (mosquitto) on a free loopback port
// with its configuration in a temporary folder, started, stopped and started
// again on the same port; and a watching client that keeps the last payload of
// every topic and publishes commands.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

struct mosquitto;

namespace bm::test {

class Broker {
public:
    Broker();
    ~Broker(); // stops it and removes the folder (kept when BM_KEEP_BROKER is set: its log)
    // Starts mosquitto; extra lines go into its configuration. Waits until it
    // accepts connections (false after 5 s).
    bool start(const std::string& extraConfig = {});
    void stop();
    int port() const { return port_; }
    std::string folder() const { return folder_; }

private:
    std::string folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

class Watcher {
public:
    explicit Watcher(int port, const std::string& user = {}, const std::string& password = {});
    ~Watcher();
    bool connected() const;
    // The last payload on `topic`; `found` false when none came (or it was
    // removed with an empty message).
    std::string last(const std::string& topic, bool* found = nullptr) const;
    std::vector<std::string> topicsUnder(const std::string& head) const;
    int count(const std::string& topic) const; // messages seen on it
    void forget();                             // clears what was seen
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);

private:
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_; // guards last_, counts_, connected_
    std::map<std::string, std::string> last_;
    std::map<std::string, int> counts_;
    bool connected_ = false;
};

} // namespace bm::test
