// A TCP peer on 127.0.0.1 that is no unit: whoever connects gets a stream of
// random bytes mixed with well-framed packets of random answer codes and
// random data (unit configurations only with unknown product ids), and what
// it sends is read and dropped. Stops when destroyed, or after two minutes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace bm::test {

class NoisePeer {
public:
    NoisePeer();
    ~NoisePeer();
    NoisePeer(const NoisePeer&) = delete;
    NoisePeer& operator=(const NoisePeer&) = delete;

    // "tcp://127.0.0.1:PORT"; empty when the listener could not be set up.
    std::string url() const;
    // Connections accepted so far.
    int connections() const { return connections_.load(); }

private:
    void run();

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace bm::test
