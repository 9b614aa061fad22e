// The service's client hub with a line-echoing handler in place of the API:
// the client limits, the time to authenticate and the bound on bytes waiting
// for a client, with small limits so that each is reached in a few steps.
#include "service/client_hub.h"

#include "platform/tcp_serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace bm::service {
namespace {

// "token T" presents T; "big" asks for more than the client may have
// waiting; any other line is echoed as "got LINE".
class EchoHandler : public ClientHandler {
public:
    ClientHub* hub = nullptr;

    std::unique_ptr<Connection> connection(Listener) override { return std::make_unique<Connection>(); }
    void received(Connection& c) override
    {
        const std::uint64_t id = c.id;
        // A send that closes the client ends it (c is gone).
        while (hub->has(id)) {
            const auto eol = c.in.find('\n');
            if (eol == std::string::npos)
                return;
            const std::string line = c.in.substr(0, eol);
            c.in.erase(0, eol + 1);
            if (line.rfind("token ", 0) == 0)
                hub->send(c, hub->authenticate(c, line.substr(6)) ? "auth\n" : "wrong\n");
            else if (line == "big")
                hub->send(c, std::string(100, 'x'));
            else
                hub->send(c, "got " + line + "\n");
        }
    }
    bool reading(const Connection&) override { return true; }
    void woken() override {}
    std::string refusal(Refusal why, const std::string& text) override
    {
        return (why == Refusal::NoToken ? "late: " : "full: ") + text + "\n";
    }
};

class Client {
public:
    explicit Client(const std::string& device) : port_(device) { port_.open(0); }

    void send(const std::string& text)
    {
        port_.startWrite(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    // What arrives until `text` has come or the peer closed (bounded).
    std::string readUntil(const std::string& text)
    {
        WakeSignal never;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got_.find(text) == std::string::npos && !port_.lineLost() && std::chrono::steady_clock::now() < end) {
            port_.waitForBytes(never, 50);
            std::uint8_t bytes[256];
            const std::size_t n = port_.readAvailable(bytes, sizeof bytes);
            got_.append(reinterpret_cast<const char*>(bytes), n);
        }
        return got_;
    }
    bool closed()
    {
        readUntil(std::string(1, '\0')); // never sent: reads until the close
        return port_.lineLost();
    }

private:
    TcpSerialPort port_;
    std::string got_;
};

TEST(ClientHub, ClientLimitsTheTokensTimeAndTheBytesWaitingForAClient)
{
    // Each step: a client (a new one when it is the next index; on the Unix
    // socket when `local`) sends a line, then has what it got contain
    // `expect`, or is closed.
    struct Step {
        int client;
        const char* send;
        const char* expect; // null: closed
        bool local = false;
    };
    const struct {
        const char* name;
        int authMs;
        std::vector<Step> steps;
    } cases[] = {
        {"two may wait for their token, a third is turned away", 10000,
         {{0, "a", "got a"}, {1, "b", "got b"}, {2, "", "full: 2 clients already waiting to authenticate"},
          {2, "", nullptr}, {0, "token s3cret", "auth"}}},
        {"an authenticated client makes room, up to the TCP cap", 10000,
         {{0, "token s3cret", "auth"}, {1, "token s3cret", "auth"}, {2, "c", "got c"},
          {3, "", "full: 3 TCP clients already"}, {3, "", nullptr}, {1, "b", "got b"}}},
        {"a wrong token leaves the client waiting, and then late", 300,
         {{0, "token s3creT", "wrong"}, {0, "", "late: no token within 300 ms"}, {0, "", nullptr}}},
        {"a client that does not read is closed past the output bound", 10000,
         {{0, "token s3cret", "auth"}, {0, "big", nullptr}}},
        {"Unix socket clients are counted apart from the TCP ones", 10000,
         {{0, "a", "got a", true}, {1, "b", "got b", true}, {2, "", "full: 2 clients already", true},
          {3, "token s3cret", "auth"}, {4, "token s3cret", "auth"}, {5, "c", "got c"},
          {6, "", "full: 3 TCP clients already"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool local = std::any_of(c.steps.begin(), c.steps.end(), [](const Step& s) { return s.local; });
        if (local && !io::kLocalSockets)
            continue;
        EchoHandler handler;
        ClientHub::Limits limits;
        limits.maxOutput = 64;
        limits.maxClients = 2;
        limits.maxTcpClients = 3;
        limits.maxUnauthenticated = 2;
        limits.authMs = c.authMs;
        ClientHub hub(handler, limits, [](const std::string&) {});
        handler.hub = &hub;
        std::string error;
        ASSERT_TRUE(hub.open(error)) << error;
        int port = 0;
        ASSERT_TRUE(hub.listenTcp(Listener::Tcp, "127.0.0.1", 0, port, error)) << error;
        const std::string path =
            (std::filesystem::temp_directory_path() / ("bm-hub-" + std::to_string(port) + ".sock")).string();
        if (local) {
            ASSERT_TRUE(hub.listenLocal(path, 0600, false, error)) << error;
        }
        hub.setToken("s3cret");
        std::thread loop([&] { hub.run(false); });
        std::vector<std::unique_ptr<Client>> clients;
        for (const Step& s : c.steps) {
            if (s.client == static_cast<int>(clients.size()))
                clients.push_back(std::make_unique<Client>(s.local ? "unix:" + path
                                                                   : "tcp://127.0.0.1:" + std::to_string(port)));
            Client& client = *clients[static_cast<std::size_t>(s.client)];
            if (*s.send)
                client.send(std::string(s.send) + "\n");
            if (s.expect)
                EXPECT_NE(client.readUntil(s.expect).find(s.expect), std::string::npos) << "client " << s.client;
            else
                EXPECT_TRUE(client.closed()) << "client " << s.client;
        }
        hub.stop();
        loop.join();
    }
}

} // namespace
} // namespace bm::service
