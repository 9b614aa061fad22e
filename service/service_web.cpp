// The web remote's listener: brennmarkd --http [ADDR:]PORT. Its token is the
// service's own (--token-file, or the one the endpoint file publishes), else a
// fresh random one each start; the address and token are written, readable by
// the user alone, beside the service's socket for brennmark-cli web.
#include "service/service.h"

#include "model/device_model.h"
#include "platform/service_socket.h"
#include "service/web_assets.h"

namespace bm::service {

bool Service::openHttp(std::string& error)
{
    const ServiceOptions& o = setup_.options;
    std::string host;
    int port = 0;
    if (!httpAddress(o, host, port, error))
        return false;
    if (host.empty())
        return true;
    site_.token = hub_.token().empty() ? io::randomHex(32) : hub_.token();
    if (site_.token.empty()) {
        error = "no random token: the system's random source failed";
        return false;
    }
    std::string reason;
    if (!hub_.listenTcp(Listener::Web, host, port, httpPort_, reason)) {
        error = "cannot serve the web remote on " + host + ":" + std::to_string(port) + ": " + reason;
        return false;
    }
    site_.address = host;
    site_.port = httpPort_;
    site_.hosts = o.httpHosts;
    site_.asset = [](std::string_view path) { return webAsset(path); };
    log("web remote on http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
        std::to_string(httpPort_) + "/");

    const std::string beside = io::kLocalSockets ? socketPath_
                               : !endpointPath_.empty() ? endpointPath_
                                                        : defaultServiceEndpointPath();
    if (beside.empty())
        return true;
    webFilePath_ = webEndpointPath(beside);
    ServiceEndpoint endpoint;
    endpoint.host = host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
    endpoint.port = httpPort_;
    endpoint.token = site_.token;
    const auto slash = webFilePath_.find_last_of(io::kLocalSockets ? "/" : "/\\");
    if (slash != std::string::npos && !io::makeFolders(webFilePath_.substr(0, slash), error))
        return false;
    if (!io::writePrivateFile(webFilePath_, formatServiceEndpoint(endpoint), error))
        return false;
    webFileWritten_ = true;
    return true;
}

} // namespace bm::service

namespace bm::service {

std::string Service::jsonControls(const Json& id)
{
    DeviceModel& model = unit_->model();
    Json list = Json::array();
    for (const controls::Control& c : controls::controlTable()) {
        const controls::Layout layout = controls::layoutOf(c);
        Json j;
        j["name"] = c.name;
        j["group"] = layout.group;
        j["unit"] = c.unit;
        j["type"] = c.type == controls::Type::Number   ? "number"
                    : c.type == controls::Type::Switch ? "boolean"
                    : c.type == controls::Type::Choice ? "choice"
                                                       : "text";
        j["writable"] = c.setter != controls::Setter::ReadOnly;
        j["values"] = controls::valueHint(c, &model);
        const auto range = controls::rangeOf(c, &model);
        if (range && c.type == controls::Type::Number) {
            j["minimum"] = toJson(controls::formatJson(c, {range->minimum, {}}));
            j["maximum"] = toJson(controls::formatJson(c, {range->maximum, {}}));
        }
        if (range && c.type == controls::Type::Text && c.setter == controls::Setter::Name)
            j["limit"] = range->maximum;
        if (layout.step > 0)
            j["step"] = layout.step;
        std::vector<std::string> choices =
            c.kind == controls::Kind::Effect ? controls::effectChoices(model) : layout.choices;
        if (!choices.empty())
            j["choices"] = choices;
        list.push_back(j);
    }
    Json out;
    out["reply"] = "controls";
    out["controls"] = list;
    if (!id.is_null())
        out["id"] = id;
    return jsonLine(out);
}

} // namespace bm::service
