// The JSON API's work on the line thread (hello, get, set, ir) and the events
// made from the unit's own messages. Names, units, value types and the way a
// value is set are the controls table's, as in brennmark-cli.
#include "service/service.h"

#include "model/device_model.h"

namespace bm::service {
namespace {

ApiErrorType errorOf(controls::Outcome outcome)
{
    switch (outcome) {
    case controls::Outcome::Refused: return ApiErrorType::Refused;
    case controls::Outcome::LineLost: return ApiErrorType::LineLost;
    case controls::Outcome::Mismatch: return ApiErrorType::Mismatch;
    case controls::Outcome::Invalid: return ApiErrorType::InvalidValue;
    default: return ApiErrorType::NotAnswered;
    }
}

std::string unitText(const std::uint8_t* data, std::size_t length)
{
    std::string s;
    for (std::size_t i = 0; i < length && data[i] != 0; ++i)
        s += static_cast<char>(data[i]);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return controls::fromUnitText(s);
}

Json withId(Json out, const Json& id)
{
    if (!id.is_null())
        out["id"] = id;
    return out;
}

std::string failure(ApiErrorType type, const std::string& message, const Json& id, Json extra = nullptr)
{
    Json out;
    out["error"] = errorTypeName(type);
    out["message"] = message;
    if (!id.is_null())
        out["id"] = id;
    if (!extra.is_null())
        for (auto it = extra.begin(); it != extra.end(); ++it)
            out[it.key()] = it.value();
    return jsonLine(out);
}

} // namespace

Json Service::controlValues(bool withUnread)
{
    DeviceModel& model = unit_->model();
    const controls::ReadLog& log = unit_->readLog();
    Json values = Json::object();
    Json unread = Json::array();
    for (const controls::Control& control : controls::controlTable()) {
        std::string missing;
        const auto value = controls::readValue(model, control, log, missing);
        if (value)
            values[control.name] = toJson(controls::formatJson(control, *value));
        else
            unread.push_back(control.name);
    }
    Json out;
    out["controls"] = values;
    if (withUnread)
        out["unread"] = unread;
    return out;
}

std::string Service::jsonHello(const Json& id)
{
    DeviceModel& model = unit_->model();
    const UnitConfig config = model.unitConfig();
    Json out;
    out["reply"] = "hello";
    out["service"] = "brennmarkd 1.02";
    out["product"] = ProductName(config.ProductId);
    out["rom"] = config.timeStampText();
    out["device"] = unit_->devicePath();
    out["line"] = lineStateName(unit_->lineState());
    const Json values = controlValues(true);
    out["controls"] = values["controls"];
    out["unread"] = values["unread"];
    return jsonLine(withId(out, id));
}

std::string Service::jsonGet(const ApiRequest& r)
{
    DeviceModel& model = unit_->model();
    if (r.controls.empty()) {
        Json out;
        out["reply"] = "get";
        out["values"] = controlValues(false)["controls"];
        return jsonLine(withId(out, r.id));
    }
    const controls::ReadLog& log = unit_->readLog();
    Json values = Json::object();
    for (const std::string& name : r.controls) {
        const auto control = controls::findControl(name, &model);
        if (!control)
            return failure(ApiErrorType::UnknownControl, "no control named \"" + name + "\"", r.id);
        std::string missing;
        const auto value = controls::readValue(model, *control, log, missing);
        if (!value)
            return failure(ApiErrorType::NotRead, name + ": not read from the unit (" + missing + ")", r.id);
        values[name] = toJson(controls::formatJson(*control, *value));
    }
    Json out;
    out["reply"] = "get";
    out["values"] = values;
    return jsonLine(withId(out, r.id));
}

std::string Service::jsonSet(const ApiRequest& r)
{
    DeviceModel& model = unit_->model();
    // Every name and value is checked before anything is sent.
    std::vector<std::pair<controls::Control, controls::Request>> plan;
    for (const auto& [name, scalar] : r.values) {
        const auto control = controls::findControl(name, &model);
        if (!control)
            return failure(ApiErrorType::UnknownControl, "no control named \"" + name + "\"", r.id);
        if (control->setter == controls::Setter::ReadOnly)
            return failure(ApiErrorType::InvalidValue, name + " is read only", r.id);
        std::string error;
        const auto request = controls::parseJson(*control, scalar, &model, error);
        if (!request)
            return failure(ApiErrorType::InvalidValue, name + ": " + error, r.id);
        plan.emplace_back(*control, *request);
    }
    Json results = Json::array();
    for (const auto& [control, request] : plan) {
        std::string missing, error;
        const auto current = controls::readValue(model, control, unit_->readLog(), missing);
        if (!current && request.form == controls::Request::Form::Relative)
            return failure(ApiErrorType::NotRead, control.name + ": not read from the unit (" + missing + ")", r.id,
                           Json{{"results", results}});
        const auto target = controls::resolve(control, request, current.value_or(controls::Value{}), model, error);
        if (!target)
            return failure(ApiErrorType::InvalidValue, control.name + ": " + error, r.id, Json{{"results", results}});
        const controls::SetResult result = controls::setValue(*unit_, control, *target);
        Json one;
        one["control"] = control.name;
        one["outcome"] = controls::outcomeName(result.outcome);
        if (result.afterRead)
            one["value"] = toJson(controls::formatJson(control, result.after));
        results.push_back(one);
        log("json: set " + control.name + ": " + controls::outcomeName(result.outcome));
        if (result.outcome != controls::Outcome::Done && result.outcome != controls::Outcome::Unchanged)
            return failure(errorOf(result.outcome), control.name + ": " + result.error, r.id,
                           Json{{"results", results}});
    }
    Json out;
    out["reply"] = "set";
    out["results"] = results;
    return jsonLine(withId(out, r.id));
}

std::string Service::jsonIr(const ApiRequest& r)
{
    const auto key = controls::irKeyCode(r.key);
    if (!key)
        return failure(ApiErrorType::InvalidValue, "no IR key named \"" + r.key + "\"", r.id);
    std::string error;
    const controls::Outcome outcome =
        unit_->exchange(DC_CMD_IR, [this, code = *key] { unit_->model().SendIrKey(code); }, error);
    log("json: ir " + r.key + ": " + controls::outcomeName(outcome));
    if (outcome != controls::Outcome::Done)
        return failure(errorOf(outcome), "ir " + r.key + ": " + error, r.id);
    Json out;
    out["reply"] = "ir";
    out["key"] = r.key;
    out["outcome"] = controls::outcomeName(outcome);
    return jsonLine(withId(out, r.id));
}

std::vector<std::string> Service::jsonEvents(const Packet& p)
{
    std::vector<std::string> lines;
    Json event;
    switch (p.code()) {
    case DC_PARAM_CHG_MSG: {
        if (p.dataLength() < 2)
            break;
        const std::uint8_t id = p.data()[0];
        const std::uint8_t value = p.data()[1];
        DeviceModel& model = unit_->model();
        const controls::ReadLog& log = unit_->readLog();
        for (const controls::Control& control : controls::controlsOfParam(model, id)) {
            // The report carries the unit's byte; a speaker choice is read
            // from the parameters it is made of.
            std::optional<controls::Value> v = controls::Value{value, {}};
            if (control.kind == controls::Kind::Speakers) {
                std::string missing;
                v = controls::readValue(model, control, log, missing);
            }
            if (!v)
                continue;
            Json e;
            e["event"] = "change";
            e["control"] = control.name;
            e["value"] = toJson(controls::formatJson(control, *v));
            e["param"] = id;
            e["raw"] = value;
            lines.push_back(jsonLine(e));
        }
        break;
    }
    case DC_FPD: {
        constexpr std::size_t kLine = 21;
        const std::size_t n = p.dataLength();
        event["event"] = "display";
        event["line1"] = unitText(p.data(), std::min(n, kLine));
        event["line2"] = n > kLine ? unitText(p.data() + kLine, std::min(n - kLine, kLine)) : "";
        lines.push_back(jsonLine(event));
        break;
    }
    case DC_SLEEP:
    case DC_WAKEUP:
        event["event"] = "power";
        event["state"] = p.code() == DC_SLEEP ? "asleep" : "awake";
        lines.push_back(jsonLine(event));
        break;
    default:
        break;
    }
    return lines;
}

} // namespace bm::service
