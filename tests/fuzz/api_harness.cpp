// The JSON API's request parser on arbitrary bytes: every line is a request
// or a typed error, never an exception; an error's line is JSON naming its
// type; a request carries what its op needs.
#include "harnesses.h"

#include "service/api.h"

#include <string_view>

namespace bm::fuzz {

ApiRun runApiInput(const std::uint8_t* data, std::size_t size)
{
    using namespace bm::service;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
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
