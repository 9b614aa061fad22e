// The web remote's HTTP side, apart from the sockets: reading a request off a
// client's bytes, deciding what it gets (a page, the JSON API, the event
// stream, or a refusal) and writing the response. The socket loop in
// service.cpp feeds it; nothing here touches a socket, so it is tested alone.
//
// Every request needs the token, as a cookie set by /login?token=T or as
// "Authorization: Bearer T". The Host header must name the listening address
// (or a name given with --http-host), and a request from another origin is
// refused: a page elsewhere can neither rebind a name to this service nor
// post to it from the user's browser.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace bm::service::http {

// A request's head (request line and headers) is at most this.
inline constexpr std::size_t kMaxHead = 8 * 1024;
// A request's body is at most this (a restored configuration file fits).
inline constexpr std::size_t kMaxBody = 256 * 1024;
// The most web clients at once (a page keeps its event stream and a few
// requests open); later ones are refused.
inline constexpr int kMaxHttpClients = 48;
// A client that has sent part of a request and nothing more for this long is
// dropped.
inline constexpr int kRequestTimeoutMs = 10000;
// The cookie that carries the token.
inline constexpr const char* kCookie = "brennmark_token";

struct Request {
    std::string method;
    std::string path;  // without the query
    std::string query; // after '?', undecoded
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool keepAlive = true;

    std::string header(const std::string& lowerName) const;
};

enum class Parse { Incomplete, Done, Bad };
// Takes the next request off the front of `in`. Bad with the HTTP status to
// answer (400, 413, 431, 501, 505) for a request that cannot be served; the
// connection is closed after that answer.
Parse takeRequest(std::string& in, Request& out, int& status);

// A file of the web application, compiled into the program.
struct Asset {
    std::string_view path; // "/", "/app.js"
    std::string_view type; // its Content-Type
    std::string_view body;
};

// What the site is: its token, the names the Host header may give, and the
// application's files.
struct Site {
    std::string token;
    std::string address;            // the listening address ("127.0.0.1", "0.0.0.0", "::1")
    int port = 0;
    std::vector<std::string> hosts; // --http-host names
    std::function<const Asset*(std::string_view path)> asset;
};

struct Response {
    int status = 200;
    std::string type;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What the socket loop does with a request.
struct Decision {
    enum class Kind { Respond, Api, Events } kind = Kind::Respond;
    Response response; // Respond
};
Decision route(const Site& site, const Request& request);

// True when `host` (a Host header: "name", "name:port", "[::1]:port") names
// this site.
bool hostAllowed(const Site& site, const std::string& host);

// The response's bytes (status line, headers with the security policy, body).
std::string formatResponse(const Response& response, bool keepAlive);
// An answer of the JSON API (one reply line) as a response.
std::string apiResponse(const std::string& replyLine, bool keepAlive);
// The head of the event stream, and one event (a JSON line) on it.
std::string eventsHead();
std::string eventMessage(const std::string& jsonLine);

// The login link for a site: http://HOST:PORT/login?token=T.
std::string loginUrl(const std::string& host, int port, const std::string& token);

} // namespace bm::service::http
