// The noise peer: one thread accepts, reads and sends, with poll's bound.
#include "tests/support/noise_peer.h"

#include "link/packet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bm::test {
namespace {

constexpr std::uint8_t kAnswerCodes[] = {
    DC_RESP_UNIT_CONFIG, DC_RESP_SYS_STATUS,  DC_RESP_REC_ZONE2_STATUS, DC_RESP_SYS_PARAM_DEF,
    DC_RESP_SYS_PARAM_VALUES, DC_RESP_EFFECT_DEF, DC_RESP_CUST_NAME,   DC_RESP_INPUT_NAME,
    DC_PARAM_CHG_MSG,    DC_FPD,              DC_WAKEUP,
};

std::vector<std::uint8_t> noise(std::mt19937& random)
{
    std::vector<std::uint8_t> out;
    std::uniform_int_distribution<int> byte(0, 255);
    for (int chunk = 0; chunk < 8; ++chunk) {
        for (int i = byte(random) % 64; i > 0; --i)
            out.push_back(static_cast<std::uint8_t>(byte(random)));
        const std::uint8_t code = kAnswerCodes[static_cast<std::size_t>(byte(random)) % std::size(kAnswerCodes)];
        std::vector<std::uint8_t> data(static_cast<std::size_t>(byte(random) % 40));
        for (auto& d : data)
            d = static_cast<std::uint8_t>(byte(random));
        if (code == DC_RESP_UNIT_CONFIG && !data.empty() && (data[0] == 1 || data[0] == 2))
            data[0] = static_cast<std::uint8_t>(3 + byte(random) % 250); // no known product
        const Packet p = framePacket(code, data.data(), data.size());
        out.insert(out.end(), p.bytes.begin(), p.bytes.begin() + p.length);
    }
    return out;
}

} // namespace

NoisePeer::NoisePeer()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

NoisePeer::~NoisePeer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

std::string NoisePeer::url() const
{
    return port_ == 0 ? std::string() : "tcp://127.0.0.1:" + std::to_string(port_);
}

void NoisePeer::run()
{
    std::mt19937 random(20261208);
    std::vector<int> peers;
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            const int peer = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (peer >= 0) {
                peers.push_back(peer);
                ++connections_;
            }
        }
        for (auto it = peers.begin(); it != peers.end();) {
            std::uint8_t drop[512];
            const ssize_t got = ::recv(*it, drop, sizeof drop, MSG_DONTWAIT);
            const auto bytes = noise(random);
            const ssize_t sent = ::send(*it, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (got == 0 || (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                ::close(*it);
                it = peers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int peer : peers)
        ::close(peer);
}

} // namespace bm::test
