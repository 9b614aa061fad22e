// The JSON API's request parser on arbitrary bytes: every line is a request
// or a typed error, never an exception; an error's line is JSON naming its
// type; a request carries what its op needs. The same bytes as a web client's:
// each request is cut off the front or refused, never read past the bytes,
// and nothing is served without the token.
#include "harnesses.h"

#include "service/api.h"
#include "service/http_site.h"

#include <string_view>

namespace bm::fuzz {

namespace {

void runHttpInput(std::string_view bytes)
{
    using namespace bm::service::http;
    static const Asset page{"/", "text/html", "the page"};
    Site site;
    site.token = "fuzz-token";
    site.address = "127.0.0.1";
    site.port = 8080;
    site.asset = [](std::string_view path) { return path == "/" ? &page : nullptr; };
    std::string in(bytes);
    for (;;) {
        const std::size_t before = in.size();
        Request r;
        int status = 0;
        const Parse parsed = takeRequest(in, r, status);
        if (parsed == Parse::Bad && (status < 400 || status > 599))
            propertyFailed("a refused request has an error status");
        if (parsed != Parse::Done)
            return;
        if (in.size() >= before)
            propertyFailed("a request takes bytes off the front");
        const Decision d = route(site, r);
        const bool tokenGiven = r.header("authorization").find("fuzz-token") != std::string::npos ||
                                r.header("cookie").find("fuzz-token") != std::string::npos;
        if (d.kind == Decision::Kind::Respond && d.response.status == 200 && !tokenGiven)
            propertyFailed("a page served without the token");
        if (d.kind != Decision::Kind::Respond && !tokenGiven)
            propertyFailed("the API or the events without the token");
        if (formatResponse(d.response, r.keepAlive).find("Content-Security-Policy") == std::string::npos)
            propertyFailed("a response without the policy");
    }
}

} // namespace

ApiRun runApiInput(const std::uint8_t* data, std::size_t size)
{
    using namespace bm::service;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    runHttpInput(line);
    const auto parsed = parseApiRequest(line);
    if (const auto* error = std::get_if<ApiError>(&parsed)) {
        const Json back = Json::parse(errorLine(*error), nullptr, false);
        if (back.is_discarded() || !back.is_object() || back.value("error", "") != errorTypeName(error->type))
            propertyFailed("an error line is JSON with its type");
        return {};
    }
    const ApiRequest& r = std::get<ApiRequest>(parsed);
    if (r.op == ApiOp::Set && r.values.empty())
        propertyFailed("a set carries values");
    if (r.id.is_structured())
        propertyFailed("an id is a scalar");
    // The reply path writes whatever the request carried back out as JSON.
    Json echo;
    echo["id"] = r.id;
    echo["key"] = r.key;
    for (const auto& [name, value] : r.values)
        echo[name] = toJson(value);
    if (jsonLine(echo).back() != '\n')
        propertyFailed("a reply is one line");
    return {true};
}

} // namespace bm::fuzz
