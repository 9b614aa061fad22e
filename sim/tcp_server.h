// Serves the simulated unit's line on a TCP port, as ser2net serves a real
// serial port: raw bytes both ways between one TCP client at a time and the
// unit's pseudo-terminal. Loopback addresses only. A client that disconnects
// is a dropped line for the program; the next one is accepted at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace bm::sim {

class TcpServer {
public:
    // `terminalPath` is the unit's terminal side (SimServer::terminalPath()).
    explicit TcpServer(std::string terminalPath);
    ~TcpServer(); // stops

    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Listens on HOST:PORT ("127.0.0.1:0" picks a free port) and starts the
    // serving thread. False, with the reason, for a non-loopback address or
    // a port that cannot be had.
    bool start(const std::string& hostAndPort, std::string& error);
    void stop();

    // The address clients connect to: "tcp://127.0.0.1:40123".
    std::string url() const;
    int port() const { return port_.load(); }
    // Closes the current client's connection (a dropped bridge), if any.
    void dropClient();
    // Connections accepted so far.
    int connections() const { return connections_.load(); }

private:
    void serve();

    const std::string terminalPath_;
    std::string host_;
    std::atomic<int> port_{0};
    std::atomic<int> listenFd_{-1};
    int terminalFd_ = -1;  // owned by the serving thread while it runs
    int wakeRead_ = -1;    // self-pipe: stop() and dropClient() wake the thread
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> dropRequested_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Splits "HOST:PORT" ("[::1]:PORT" for IPv6); false when malformed or HOST is
// not a loopback address (127.0.0.0/8, ::1, localhost).
bool parseLoopbackAddress(const std::string& hostAndPort, std::string& host, int& port, std::string& error);

} // namespace bm::sim
