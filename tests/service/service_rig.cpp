#include "tests/service/service_rig.h"

#include "tests/support/memory_settings.h"
#include "tests/support/fast_timing.h"
#include "platform/user_settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bm::test {

using Clock = std::chrono::steady_clock;

Bytes frame(std::uint8_t code, const Bytes& data)
{
    Bytes p = {kPacketStart, static_cast<std::uint8_t>(data.size() + 3), code, static_cast<std::uint8_t>(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(kPacketEnd);
    return p;
}

sim::SimOptions ServiceRig::strictFast()
{
    sim::SimOptions o;
    o.fast = true;
    o.strict = true;
    return o;
}

ServiceRig::~ServiceRig()
{
    stopService();
    if (sim)
        sim->stop();
    if (!dir_.empty())
        ::rmdir(dir_.c_str());
}

void quickCliSettings()
{
    FastTiming timing = FastTiming::pacingOnly();
    timing.configWaitCount = 200;
    timing.configWaitIntervalMs = 5;
    timing.wakeupWaitIntervalMs = 10;
    timing.configExtraDelayMs = 1;
    storeFastTiming(*openUserSettings(), timing);
}

void ServiceRig::stopService()
{
    if (service)
        service->stop();
    if (loop_.joinable())
        loop_.join();
    service.reset();
}

bool ServiceRig::start(sim::SimOptions options, service::ServiceOptions extra, bool unitLater)
{
    sim = std::make_unique<sim::SimServer>(options);
    if (!unitLater && !sim->start())
        return false;
    return startService(unitLater ? options.linkPath : sim->devicePath(), extra);
}

bool ServiceRig::startService(const std::string& port, service::ServiceOptions extra)
{
    char templ[] = "/tmp/bm-service-XXXXXX";
    if (!::mkdtemp(templ))
        return false;
    dir_ = templ;
    service::Service::Setup setup;
    setup.options = extra;
    setup.options.port = port;
    setup.options.socketPath = dir_ + "/s.sock";
    setup.makeSettings = makeSettings ? makeSettings : [] {
        auto settings = std::make_unique<InMemorySettings>();
        storeFastTiming(*settings, FastTiming::pacingOnly());
        return std::unique_ptr<SettingsStore>(std::move(settings));
    };
    setup.log = [this](const std::string& line) {
        std::lock_guard lock(logMutex_);
        log_.push_back(line);
    };
    if (view) {
        setup.unitPacket = [v = view](const Packet& p) { v->onUnitPacket(p); };
        setup.lineState = [v = view](LineState state) { v->onLineState(state); };
    }
    service = std::make_unique<service::Service>(setup);
    std::string error;
    if (!service->start(error)) {
        std::fprintf(stderr, "service did not start: %s\n", error.c_str());
        return false;
    }
    if (view)
        view->attach(service->unit());
    loop_ = std::thread([this] { service->run(); });
    return true;
}

std::vector<std::string> ServiceRig::logLines() const
{
    std::lock_guard lock(logMutex_);
    return log_;
}

std::vector<std::uint8_t> ServiceRig::unitCodes() const
{
    std::vector<std::uint8_t> codes;
    for (const Bytes& p : sim->receivedPackets())
        if (p.size() > 2)
            codes.push_back(p[2]);
    return codes;
}

RawClient::RawClient(const std::string& socketPath)
{
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    socketPath.copy(a.sun_path, sizeof a.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        close();
}

RawClient::RawClient(int tcpPort)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(tcpPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        close();
}

RawClient::~RawClient()
{
    close();
}

void RawClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RawClient::shutdown()
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

bool RawClient::send(const Bytes& bytes)
{
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool RawClient::send(const std::string& text)
{
    return send(Bytes(text.begin(), text.end()));
}

bool RawClient::pump(int ms)
{
    if (fd_ < 0 || peerClosed_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return true;
    std::uint8_t buffer[8192];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        peerClosed_ = true;
        return false;
    }
    stream_.insert(stream_.end(), buffer, buffer + n);
    text_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    // Whole packets, cut by their count byte.
    for (;;) {
        const auto start = std::find(stream_.begin(), stream_.end(), kPacketStart);
        stream_.erase(stream_.begin(), start);
        if (stream_.size() < 2 || stream_.size() < stream_[1] + 2u)
            break;
        const std::size_t length = stream_[1] + 2u;
        seen_.emplace_back(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(length));
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(length));
    }
    return true;
}

std::vector<std::uint8_t> RawClient::codesWithin(int ms)
{
    const std::size_t from = seen_.size();
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end && pump(5)) {
    }
    std::vector<std::uint8_t> codes;
    for (std::size_t i = from; i < seen_.size(); ++i)
        codes.push_back(seen_[i][2]);
    return codes;
}

bool RawClient::waitForCode(std::uint8_t code, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    std::size_t looked = 0;
    for (;;) {
        for (; looked < seen_.size(); ++looked)
            if (seen_[looked][2] == code)
                return true;
        if (Clock::now() >= end || !pump(5))
            return false;
    }
}

std::optional<std::string> RawClient::line(int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto eol = text_.find('\n');
        if (eol != std::string::npos) {
            std::string l = text_.substr(0, eol);
            text_.erase(0, eol + 1);
            return l;
        }
        if (Clock::now() >= end || !pump(5))
            return std::nullopt;
    }
}

bool RawClient::closedWithin(int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end && pump(5)) {
        text_.clear();
    }
    return peerClosed_ || fd_ < 0;
}

} // namespace bm::test
