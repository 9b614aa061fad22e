// brennmarkd --http in-process against the simulated unit, with plain HTTP
// requests: the JSON API over POST /api, the unit's messages on /events,
// and the refusals (token, Host, Origin, malformed requests) that never
// reach the unit.
#include "platform/service_socket.h"
#include "tests/service/service_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>

namespace bm::test {
namespace {

using Json = nlohmann::json;

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
};

// Reads one response (status line, headers, a body of Content-Length bytes in lines).
HttpReply readReply(RawClient& c, int ms = 5000)
{
    HttpReply r;
    const auto status = c.line(ms);
    if (!status || status->rfind("HTTP/1.1 ", 0) != 0)
        return r;
    r.status = std::stoi(status->substr(9, 3));
    std::size_t length = 0;
    while (const auto line = c.line(ms)) {
        if (*line == "\r" || line->empty())
            break;
        r.head += *line + "\n";
        if (line->rfind("Content-Length: ", 0) == 0)
            length = std::stoul(line->substr(16));
    }
    while (r.body.size() < length) {
        const auto line = c.line(ms);
        if (!line)
            break;
        r.body += *line + "\n";
    }
    return r;
}

std::string post(const std::string& body, const std::string& extra, int port)
{
    return "POST /api HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// brennmark-cli web with the link file: its output and exit status.
std::pair<std::string, int> cliWeb(const std::string& file)
{
    const std::string command = std::string(BM_CLI_PATH) + " web --no-open --no-qr --file '" + file + "' 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (p && std::fgets(buffer, sizeof buffer, p))
        out += buffer;
    const int status = p ? ::pclose(p) : -1;
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class WebService : public ::testing::Test {
protected:
    void SetUp() override
    {
        service::ServiceOptions o;
        o.http = "127.0.0.1:0";
        ASSERT_TRUE(rig.start(ServiceRig::strictFast(), o));
        port = rig.service->httpPort();
        ASSERT_GT(port, 0);
        token = rig.service->httpToken();
        ASSERT_EQ(token.size(), 64u);
        bearer = "Authorization: Bearer " + token + "\r\n";
    }
    ServiceRig rig;
    int port = 0;
    std::string token, bearer;
};

TEST_F(WebService, TheApiAndTheEventsOverHttpAreTheSocketsOwn)
{
    RawClient events(port), page(port);
    ASSERT_TRUE(events.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + bearer +
                            "\r\n"));
    ASSERT_EQ(events.line(3000).value_or(""), "HTTP/1.1 200 OK\r");
    bool streamHead = false;
    while (const auto line = events.line(2000)) {
        if (*line == "Content-Type: text/event-stream\r")
            streamHead = true;
        if (*line == "\r")
            break;
    }
    EXPECT_TRUE(streamHead);
    EXPECT_EQ(events.line(2000).value_or(""), R"(data: {"event":"line","state":"connected"})");

    // One connection, several requests: each answered as the socket answers it.
    ASSERT_TRUE(page.send(post(R"({"op":"hello","id":1})", bearer, port)));
    HttpReply hello = readReply(page);
    ASSERT_EQ(hello.status, 200) << hello.head;
    EXPECT_NE(hello.head.find("Content-Type: application/json"), std::string::npos);
    const Json h = Json::parse(hello.body);
    EXPECT_EQ(h["reply"], "hello");
    EXPECT_EQ(h["id"], 1);
    EXPECT_EQ(h["product"], "DE-1");

    ASSERT_TRUE(page.send(post(R"({"op":"set","values":{"volume":-30}})", bearer, port)));
    const Json set = Json::parse(readReply(page).body);
    ASSERT_EQ(set["reply"], "set") << set.dump();
    EXPECT_EQ(set["results"][0]["outcome"], "done");

    // The unit's own change (its console) reaches the stream.
    ASSERT_TRUE(rig.sim->command("set VOLUME 50"));
    bool sawChange = false;
    while (!sawChange) {
        const auto line = events.line(2000);
        if (!line)
            break;
        if (line->rfind("data: ", 0) == 0) {
            const Json e = Json::parse(line->substr(6), nullptr, false);
            sawChange = e.value("event", "") == "change" && e.value("control", "") == "volume" && e["value"] == -30;
        }
    }
    EXPECT_TRUE(sawChange) << "the console's VOLUME 50 (-30 dB) did not reach the event stream";

    // A typed error stays the API's; the table of controls for the pages.
    ASSERT_TRUE(page.send(post(R"({"op":"set","values":{"volume":99}})", bearer, port)));
    EXPECT_EQ(Json::parse(readReply(page).body)["error"], "invalid_value");
    ASSERT_TRUE(page.send(post(R"({"op":"controls"})", bearer, port)));
    const Json table = Json::parse(readReply(page).body);
    ASSERT_EQ(table["reply"], "controls");
    bool effectChoices = false;
    for (const Json& c : table["controls"])
        if (c["name"] == "effect")
            effectChoices = c.contains("choices") && !c["choices"].empty();
    EXPECT_TRUE(effectChoices) << "the effect's choices are the unit's effects";
    EXPECT_EQ(rig.sim->strictViolations(), 0u);
}

TEST_F(WebService, RefusedRequestsNeverReachTheUnit)
{
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const std::string set = R"({"op":"set","values":{"volume":-10}})";
    auto raw = [&](const std::string& headers) {
        return "POST /api HTTP/1.1\r\n" + headers + "Content-Length: " + std::to_string(set.size()) + "\r\n\r\n" + set;
    };
    const struct {
        const char* name;
        std::string request;
        int status;
    } cases[] = {
        {"no token", raw(host), 401},
        {"a wrong token", raw(host + "Authorization: Bearer " + std::string(64, '0') + "\r\n"), 401},
        {"a wrong cookie", raw(host + "Cookie: brennmark_token=x\r\n"), 401},
        {"a rebound name", raw("Host: evil.example:" + std::to_string(port) + "\r\n" + bearer), 421},
        {"a foreign origin", raw(host + bearer + "Origin: http://evil.example\r\n"), 403},
        {"the page without the token", "GET / HTTP/1.1\r\n" + host + "\r\n", 401},
        {"a login with a wrong token", "GET /login?token=nope HTTP/1.1\r\n" + host + "\r\n", 401},
        {"chunked", "POST /api HTTP/1.1\r\n" + host + bearer + "Transfer-Encoding: chunked\r\n\r\n", 501},
        {"a body too long", "POST /api HTTP/1.1\r\n" + host + bearer + "Content-Length: 99999999\r\n\r\n", 413},
    };
    rig.sim->clearReceived();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(port);
        ASSERT_TRUE(client.send(c.request));
        const HttpReply r = readReply(client);
        EXPECT_EQ(r.status, c.status) << r.head << r.body;
        EXPECT_NE(r.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    }
    EXPECT_TRUE(rig.sim->receivedPackets().empty()) << "a refused request reached the unit";

    // The login link sets the cookie that opens the page.
    RawClient login(port);
    ASSERT_TRUE(login.send("GET /login?token=" + token + " HTTP/1.1\r\n" + host + "\r\n"));
    const HttpReply r = readReply(login);
    ASSERT_EQ(r.status, 303);
    EXPECT_NE(r.head.find("Set-Cookie: brennmark_token=" + token + "; HttpOnly; SameSite=Strict"), std::string::npos);
    ASSERT_TRUE(login.send("GET / HTTP/1.1\r\n" + host + "Cookie: brennmark_token=" + token + "\r\n\r\n"));
    const HttpReply pageReply = readReply(login);
    EXPECT_EQ(pageReply.status, 200);
    EXPECT_NE(pageReply.body.find("<!doctype html>"), std::string::npos);
}

TEST_F(WebService, TheLinkFileIsTheOwnersAndGoesWithTheService)
{
    const std::string file = webEndpointPath(rig.socketPath());
    ServiceEndpoint endpoint;
    std::string error;
    ASSERT_TRUE(readServiceEndpoint(file, endpoint, error)) << error;
    EXPECT_EQ(endpoint.host, "127.0.0.1");
    EXPECT_EQ(endpoint.port, port);
    EXPECT_EQ(endpoint.token, token);
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // brennmark-cli web gives the link that logs a browser in.
    const auto [link, status] = cliWeb(file);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(link, "http://127.0.0.1:" + std::to_string(port) + "/login?token=" + token + "\n");
    rig.stopService();
    EXPECT_FALSE(std::filesystem::exists(file));
    const auto [none, noneStatus] = cliWeb(file);
    EXPECT_EQ(noneStatus, 2) << none;
    EXPECT_NE(none.find("brennmarkd --http"), std::string::npos) << none;
}

TEST_F(WebService, WebClientsAreBounded)
{
    // A client that stops in the middle of its head is not read for ever:
    // the connection limit holds, and the others are still served.
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < service::http::kMaxHttpClients + 4; ++i) {
        held.push_back(std::make_unique<RawClient>(port));
        held.back()->send("GET / HTTP/1.1\r\n");
    }
    int refused = 0;
    for (auto& c : held)
        refused += c->closedWithin(50) ? 1 : 0;
    EXPECT_EQ(refused, 4);
    held.clear();
    ASSERT_TRUE(waitUntil([&] { return rig.service->clientCount() == 0; }, 3000));
    RawClient page(port);
    ASSERT_TRUE(page.send(post(R"({"op":"hello"})", bearer, port)));
    EXPECT_EQ(readReply(page).status, 200);
}

} // namespace
} // namespace bm::test
