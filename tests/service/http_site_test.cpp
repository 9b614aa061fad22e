// The web remote's HTTP side without sockets: requests cut from a client's
// bytes, and what each request gets (the token, the Host and Origin rules,
// the login cookie, the pages, the API and the event stream).
#include "service/http_site.h"

#include <gtest/gtest.h>

namespace bm::service::http {
namespace {

TEST(HttpRequest, RequestsAreCutFromTheBytesOrRefused)
{
    const std::string big(kMaxBody + 1, 'x');
    const struct {
        const char* name;
        std::string bytes;
        Parse parse;
        int status;           // Bad
        std::string path;     // Done
        std::string body;     // Done
        bool keepAlive;       // Done
        std::size_t leftover; // bytes left for the next request
    } cases[] = {
        {"a GET", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", Parse::Done, 0, "/", "", true, 0},
        {"a GET with a query", "GET /login?token=t HTTP/1.1\r\nHost: a\r\n\r\n", Parse::Done, 0, "/login", "", true, 0},
        {"bare newlines", "GET /x HTTP/1.1\nHost: a\n\n", Parse::Done, 0, "/x", "", true, 0},
        {"head cut short", "GET / HTTP/1.1\r\nHost: a\r\n", Parse::Incomplete, 0, "", "", true, 0},
        {"a POST with its body", "POST /api HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", Parse::Done, 0, "/api",
         "hello", true, 0},
        {"a body cut short", "POST /api HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel", Parse::Incomplete, 0, "", "", true,
         0},
        {"two at once", "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", Parse::Done, 0, "/a", "", true, 19},
        {"HTTP/1.0 closes", "GET / HTTP/1.0\r\n\r\n", Parse::Done, 0, "/", "", false, 0},
        {"Connection: close", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", Parse::Done, 0, "/", "", false, 0},
        {"header names in any case", "POST /api HTTP/1.1\r\ncontent-LENGTH: 2\r\n\r\n{}", Parse::Done, 0, "/api",
         "{}", true, 0},
        {"a head too long", "GET / HTTP/1.1\r\nX: " + std::string(kMaxHead, 'a'), Parse::Bad, 431, "", "", true, 0},
        {"a body too long", "POST /api HTTP/1.1\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n",
         Parse::Bad, 413, "", "", true, 0},
        {"a length that is not a number", "POST /api HTTP/1.1\r\nContent-Length: 5x\r\n\r\n", Parse::Bad, 400, "", "",
         true, 0},
        {"chunked", "POST /api HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", Parse::Bad, 501, "", "", true, 0},
        {"no version", "GET /\r\n\r\n", Parse::Bad, 400, "", "", true, 0},
        {"another protocol", "GET / SPDY/3\r\n\r\n", Parse::Bad, 505, "", "", true, 0},
        {"a target that is not a path", "GET http://evil/ HTTP/1.1\r\n\r\n", Parse::Bad, 400, "", "", true, 0},
        {"a header without a colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", Parse::Bad, 400, "", "", true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = c.bytes;
        Request r;
        int status = 0;
        ASSERT_EQ(takeRequest(in, r, status), c.parse);
        if (c.parse == Parse::Bad) {
            EXPECT_EQ(status, c.status);
        }
        if (c.parse != Parse::Done)
            continue;
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.keepAlive, c.keepAlive);
        EXPECT_EQ(in.size(), c.leftover);
    }
}

const Asset kIndex{"/", "text/html; charset=utf-8", "<!doctype html>page"};
const Asset kScript{"/app.js", "text/javascript", "js"};

Site site(const std::string& address = "127.0.0.1")
{
    Site s;
    s.token = "secret";
    s.address = address;
    s.port = 8080;
    s.hosts = {"unit.home"};
    s.asset = [](std::string_view path) -> const Asset* {
        if (path == kIndex.path)
            return &kIndex;
        if (path == kScript.path)
            return &kScript;
        return nullptr;
    };
    return s;
}

std::string headerOf(const Response& r, const std::string& name)
{
    for (const auto& [n, v] : r.headers)
        if (n == name)
            return v;
    return {};
}

TEST(HttpRoute, EveryRequestNeedsTheTokenTheHostAndTheOrigin)
{
    using K = Decision::Kind;
    const std::string cookie = std::string(kCookie) + "=secret";
    const struct {
        const char* name;
        std::string method, target;
        std::vector<std::pair<std::string, std::string>> headers;
        K kind;
        int status; // Respond
        std::string address = "127.0.0.1";
    } cases[] = {
        {"the page with the cookie", "GET", "/", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}}, K::Respond, 200},
        {"the cookie among others", "GET", "/app.js",
         {{"host", "127.0.0.1:8080"}, {"cookie", "a=b; " + cookie + "; c=d"}}, K::Respond, 200},
        {"the page with a bearer token", "GET", "/", {{"host", "127.0.0.1:8080"}, {"authorization", "Bearer secret"}},
         K::Respond, 200},
        {"the page without the token", "GET", "/", {{"host", "127.0.0.1:8080"}}, K::Respond, 401},
        {"a wrong cookie", "GET", "/", {{"host", "127.0.0.1:8080"}, {"cookie", std::string(kCookie) + "=secreT"}},
         K::Respond, 401},
        {"a longer token", "GET", "/", {{"host", "127.0.0.1:8080"}, {"authorization", "Bearer secret2"}},
         K::Respond, 401},
        {"an empty token", "GET", "/", {{"host", "127.0.0.1:8080"}, {"cookie", std::string(kCookie) + "="}},
         K::Respond, 401},
        {"no such file", "GET", "/nothing", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}}, K::Respond, 404},
        {"the API", "POST", "/api", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}}, K::Api, 0},
        {"the API from the page", "POST", "/api",
         {{"host", "127.0.0.1:8080"}, {"cookie", cookie}, {"origin", "http://127.0.0.1:8080"}}, K::Api, 0},
        {"the API by GET", "GET", "/api", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}}, K::Respond, 405},
        {"the API without the token", "POST", "/api", {{"host", "127.0.0.1:8080"}}, K::Respond, 401},
        {"the events", "GET", "/events", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}}, K::Events, 0},
        {"the events without the token", "GET", "/events", {{"host", "127.0.0.1:8080"}}, K::Respond, 401},
        {"a foreign origin", "POST", "/api",
         {{"host", "127.0.0.1:8080"}, {"cookie", cookie}, {"origin", "http://evil.example"}}, K::Respond, 403},
        {"an origin on another port", "POST", "/api",
         {{"host", "127.0.0.1:8080"}, {"cookie", cookie}, {"origin", "http://127.0.0.1:9999"}}, K::Respond, 403},
        {"origin null", "POST", "/api", {{"host", "127.0.0.1:8080"}, {"cookie", cookie}, {"origin", "null"}},
         K::Respond, 403},
        {"a rebound name", "GET", "/", {{"host", "evil.example:8080"}, {"cookie", cookie}}, K::Respond, 421},
        {"no Host", "GET", "/", {{"cookie", cookie}}, K::Respond, 421},
        {"the right name on another port", "GET", "/", {{"host", "127.0.0.1:8081"}, {"cookie", cookie}},
         K::Respond, 421},
        {"localhost on loopback", "GET", "/", {{"host", "localhost:8080"}, {"cookie", cookie}}, K::Respond, 200},
        {"a name given with --http-host", "GET", "/", {{"host", "unit.home:8080"}, {"cookie", cookie}}, K::Respond,
         200},
        {"any address: an address literal", "GET", "/", {{"host", "192.168.1.20:8080"}, {"cookie", cookie}},
         K::Respond, 200, "0.0.0.0"},
        {"any address: a name not given", "GET", "/", {{"host", "evil.example:8080"}, {"cookie", cookie}},
         K::Respond, 421, "0.0.0.0"},
        {"any address: localhost", "GET", "/", {{"host", "localhost:8080"}, {"cookie", cookie}}, K::Respond, 421,
         "0.0.0.0"},
        {"a set address: another literal", "GET", "/", {{"host", "192.168.1.21:8080"}, {"cookie", cookie}},
         K::Respond, 421, "192.168.1.20"},
        {"login", "GET", "/login?token=secret", {{"host", "127.0.0.1:8080"}}, K::Respond, 303},
        {"login with a wrong token", "GET", "/login?token=wrong", {{"host", "127.0.0.1:8080"}}, K::Respond, 401},
        {"login without a token", "GET", "/login", {{"host", "127.0.0.1:8080"}}, K::Respond, 401},
        {"login under a rebound name", "GET", "/login?token=secret", {{"host", "evil.example:8080"}}, K::Respond,
         421},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        r.method = c.method;
        const auto q = c.target.find('?');
        r.path = c.target.substr(0, q);
        r.query = q == std::string::npos ? "" : c.target.substr(q + 1);
        for (const auto& [n, v] : c.headers)
            r.headers[n] = v;
        const Decision d = route(site(c.address), r);
        ASSERT_EQ(d.kind, c.kind);
        if (c.kind != K::Respond)
            continue;
        EXPECT_EQ(d.response.status, c.status);
        const std::string setCookie = headerOf(d.response, "Set-Cookie");
        if (c.status == 303) {
            EXPECT_EQ(headerOf(d.response, "Location"), "/");
            EXPECT_NE(setCookie.find(std::string(kCookie) + "=secret"), std::string::npos);
            EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
            EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos);
        } else {
            EXPECT_EQ(setCookie, "");
        }
        if (c.status != 200) {
            EXPECT_EQ(d.response.body.find("<!doctype"), std::string::npos) << "a refusal carries no file";
        }
    }
}

TEST(HttpResponse, EveryResponseCarriesThePolicy)
{
    Response r;
    r.type = "text/plain";
    r.body = "hi";
    const std::string bytes = formatResponse(r, true);
    EXPECT_EQ(bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(bytes.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    EXPECT_NE(bytes.find("Content-Length: 2\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("X-Content-Type-Options: nosniff"), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 6), "\r\n\r\nhi");
    EXPECT_NE(formatResponse(r, false).find("Connection: close\r\n"), std::string::npos);

    const std::string api = apiResponse("{\"reply\":\"hello\"}\n", true);
    EXPECT_NE(api.find("Content-Type: application/json"), std::string::npos);
    EXPECT_NE(api.find("\r\n\r\n{\"reply\":\"hello\"}\n"), std::string::npos);
    EXPECT_EQ(eventMessage("{\"event\":\"line\"}\n"), "data: {\"event\":\"line\"}\n\n");
    EXPECT_EQ(loginUrl("::1", 8080, "t"), "http://[::1]:8080/login?token=t");
    EXPECT_EQ(loginUrl("127.0.0.1", 80, "t"), "http://127.0.0.1:80/login?token=t");
}

} // namespace
} // namespace bm::service::http
