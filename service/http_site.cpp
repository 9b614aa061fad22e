#include "service/http_site.h"

#include "service/options.h"

#include <algorithm>
#include <cctype>

namespace bm::service::http {
namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s)
{
    const auto a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return {};
    const auto b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

bool sameToken(const std::string& a, const std::string& b)
{
    // Compared in full whatever differs first.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(i < b.size() ? b[i] : 0));
    return diff == 0 && !b.empty();
}

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

Response refusal(int status, const std::string& text)
{
    Response r;
    r.status = status;
    r.type = "text/plain; charset=utf-8";
    r.body = text + "\n";
    return r;
}

// A query parameter's value, percent-decoded.
std::string queryValue(const std::string& query, const std::string& name)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        const auto end = std::min(query.find('&', at), query.size());
        const std::string part = query.substr(at, end - at);
        const auto eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == name) {
            std::string out;
            const std::string v = part.substr(eq + 1);
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (v[i] == '%' && i + 2 < v.size() + 0 && std::isxdigit(static_cast<unsigned char>(v[i + 1])) &&
                    std::isxdigit(static_cast<unsigned char>(v[i + 2]))) {
                    out += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    out += v[i] == '+' ? ' ' : v[i];
                }
            }
            return out;
        }
        at = end + 1;
    }
    return {};
}

std::string cookieValue(const std::string& header, const std::string& name)
{
    std::size_t at = 0;
    while (at < header.size()) {
        const auto end = std::min(header.find(';', at), header.size());
        const std::string part = trim(header.substr(at, end - at));
        const auto eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == name)
            return part.substr(eq + 1);
        at = end + 1;
    }
    return {};
}

// Splits a Host header or an origin's authority into name and port (-1: none).
bool splitAuthority(const std::string& text, std::string& name, int& port)
{
    port = -1;
    if (text.empty())
        return false;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            return false;
        name = text.substr(1, close - 1);
        if (close + 1 == text.size())
            return true;
        if (text[close + 1] != ':')
            return false;
        return splitHostPort(text, name, port);
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        name = text;
        return true;
    }
    return splitHostPort(text, name, port);
}

bool isAddressLiteral(const std::string& name)
{
    if (name.find(':') != std::string::npos)
        return true; // IPv6
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos &&
           std::count(name.begin(), name.end(), '.') == 3;
}

bool anyAddress(const std::string& address)
{
    return address == "0.0.0.0" || address == "::" || address.empty();
}

} // namespace

std::string Request::header(const std::string& lowerName) const
{
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

Parse takeRequest(std::string& in, Request& out, int& status)
{
    auto bad = [&](int s) {
        status = s;
        return Parse::Bad;
    };
    // The head ends at the first empty line (CRLF or a bare LF).
    std::size_t headEnd = std::string::npos, bodyStart = 0;
    for (std::size_t i = in.find('\n'); i != std::string::npos; i = in.find('\n', i + 1)) {
        if (i + 1 < in.size() && in[i + 1] == '\n') {
            headEnd = i + 1;
            bodyStart = i + 2;
            break;
        }
        if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
            headEnd = i + 1;
            bodyStart = i + 3;
            break;
        }
    }
    if (headEnd == std::string::npos)
        return in.size() > kMaxHead ? bad(431) : Parse::Incomplete;
    if (headEnd > kMaxHead)
        return bad(431);

    Request r;
    std::size_t at = 0;
    bool first = true;
    while (at < headEnd) {
        const auto eol = in.find('\n', at);
        std::string line = in.substr(at, eol - at);
        at = eol + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first) {
            first = false;
            const auto s1 = line.find(' ');
            const auto s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
            if (s2 == std::string::npos)
                return bad(400);
            r.method = line.substr(0, s1);
            const std::string target = line.substr(s1 + 1, s2 - s1 - 1);
            const std::string version = line.substr(s2 + 1);
            if (version != "HTTP/1.1" && version != "HTTP/1.0")
                return bad(version.rfind("HTTP/", 0) == 0 ? 505 : 505);
            if (target.empty() || target.front() != '/')
                return bad(400);
            const auto q = target.find('?');
            r.path = target.substr(0, q);
            r.query = q == std::string::npos ? "" : target.substr(q + 1);
            r.keepAlive = version == "HTTP/1.1";
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return bad(400);
        r.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    if (!r.header("transfer-encoding").empty())
        return bad(501);
    if (lower(r.header("connection")) == "close")
        r.keepAlive = false;
    std::size_t length = 0;
    if (const std::string cl = r.header("content-length"); !cl.empty()) {
        if (cl.size() > 9 || cl.find_first_not_of("0123456789") != std::string::npos)
            return bad(400);
        length = std::stoul(cl);
        if (length > kMaxBody)
            return bad(413);
    }
    if (in.size() < bodyStart + length)
        return Parse::Incomplete;
    r.body = in.substr(bodyStart, length);
    in.erase(0, bodyStart + length);
    out = std::move(r);
    return Parse::Done;
}

bool hostAllowed(const Site& site, const std::string& host)
{
    std::string name;
    int port = -1;
    if (!splitAuthority(lower(host), name, port))
        return false;
    if (port != -1 && port != site.port)
        return false;
    if (port == -1 && site.port != 80)
        return false;
    for (const std::string& h : site.hosts)
        if (lower(h) == name)
            return true;
    if (name == lower(site.address))
        return true;
    if (name == "localhost")
        return isLoopbackHost(site.address);
    // On every address the page is reached by any of the machine's
    // addresses; a literal address cannot be rebound, a name can.
    return anyAddress(site.address) && isAddressLiteral(name);
}

Decision route(const Site& site, const Request& request)
{
    Decision d;
    const std::string host = request.header("host");
    if (!hostAllowed(site, host)) {
        d.response = refusal(421, "this service does not answer to the name \"" + host +
                                      "\" (brennmarkd --http-host NAME adds one)");
        return d;
    }
    // A browser names the page a request comes from; only this site's own.
    if (const std::string origin = request.header("origin"); !origin.empty()) {
        const std::string own = "http://" + lower(host);
        if (lower(origin) != own) {
            d.response = refusal(403, "requests from another site are refused");
            return d;
        }
    }
    if (request.path == "/login") {
        if (request.method != "GET") {
            d.response = refusal(405, "GET only");
            return d;
        }
        if (!sameToken(site.token, queryValue(request.query, "token"))) {
            d.response = refusal(401, "wrong token: open the link that brennmark-cli web prints");
            return d;
        }
        d.response.status = 303;
        d.response.type = "text/plain; charset=utf-8";
        d.response.body = "logged in\n";
        d.response.headers.emplace_back("Location", "/");
        d.response.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + site.token +
                                                          "; HttpOnly; SameSite=Strict; Path=/");
        return d;
    }
    std::string token = cookieValue(request.header("cookie"), kCookie);
    if (const std::string auth = request.header("authorization"); auth.rfind("Bearer ", 0) == 0)
        token = trim(auth.substr(7));
    if (!sameToken(site.token, token)) {
        d.response = refusal(401, "this page needs the service's token: open the link that brennmark-cli web prints");
        return d;
    }
    if (request.path == "/api") {
        if (request.method != "POST") {
            d.response = refusal(405, "POST a JSON request");
            d.response.headers.emplace_back("Allow", "POST");
            return d;
        }
        d.kind = Decision::Kind::Api;
        return d;
    }
    if (request.path == "/events") {
        if (request.method != "GET") {
            d.response = refusal(405, "GET only");
            return d;
        }
        d.kind = Decision::Kind::Events;
        return d;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        d.response = refusal(405, "GET only");
        return d;
    }
    const Asset* asset = site.asset ? site.asset(request.path) : nullptr;
    if (!asset) {
        d.response = refusal(404, "no such page");
        return d;
    }
    d.response.type = std::string(asset->type);
    d.response.body = std::string(asset->body);
    return d;
}

std::string formatResponse(const Response& response, bool keepAlive)
{
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    out += "Content-Type: " + (response.type.empty() ? std::string("text/plain") : response.type) + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    out += "Referrer-Policy: no-referrer\r\n";
    out += "Cache-Control: no-store\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    if (!keepAlive)
        out += "Connection: close\r\n";
    out += "\r\n";
    return out + response.body;
}

std::string apiResponse(const std::string& replyLine, bool keepAlive)
{
    Response r;
    r.type = "application/json";
    r.body = replyLine;
    return formatResponse(r, keepAlive);
}

std::string eventsHead()
{
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: text/event-stream\r\n"
           "Cache-Control: no-store\r\n"
           "Content-Security-Policy: default-src 'self'\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "\r\n";
}

std::string eventMessage(const std::string& jsonLine)
{
    std::string data = jsonLine;
    while (!data.empty() && (data.back() == '\n' || data.back() == '\r'))
        data.pop_back();
    return "data: " + data + "\n\n";
}

std::string loginUrl(const std::string& host, int port, const std::string& token)
{
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + name + ":" + std::to_string(port) + "/login?token=" + token;
}

} // namespace bm::service::http
