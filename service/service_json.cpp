// The JSON API's work on the line thread (hello, get, set, ir) and the events
// made from the unit's own messages. Names, units, value types and the way a
// value is set are the controls table's, as in brennmark-cli.
#include "service/service.h"

#include "model/device_model.h"

#include <optional>

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
    unit_->freshStatus();
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

std::optional<std::string> Service::lineFailure(const Json& id)
{
    // Nothing is asked of a unit that is not there: the client is told at
    // once, as brennmark-cli finds no unit on a bare line.
    const LineState line = unit_->lineState();
    if (line != LineState::Lost && line != LineState::Reconnecting)
        return std::nullopt;
    return failure(ApiErrorType::LineLost, std::string("the line to the unit is ") + lineStateName(line), id,
                   Json{{"line", lineStateName(line)}});
}

std::string Service::jsonGet(const ApiRequest& r)
{
    if (auto lost = lineFailure(r.id))
        return *lost;
    unit_->freshStatus();
    DeviceModel& model = unit_->model();
    if (r.controls.empty() && !r.texts) {
        Json out;
        out["reply"] = "get";
        out["values"] = controlValues(false)["controls"];
        return jsonLine(withId(out, r.id));
    }
    std::vector<controls::Control> list;
    if (r.controls.empty()) {
        list = controls::controlTable();
    } else {
        // Every name is known before any value is looked at.
        for (const std::string& name : r.controls) {
            const auto control = controls::findControl(name, &model);
            if (!control)
                return failure(ApiErrorType::UnknownControl, "no control named \"" + name + "\"", r.id,
                               Json{{"control", name}});
            list.push_back(*control);
        }
    }
    const controls::ReadLog& log = unit_->readLog();
    Json values = Json::object();
    Json items = Json::array();
    Json missing = Json::array();
    std::string missingText;
    for (const controls::Control& control : list) {
        std::string why;
        const auto value = controls::readValue(model, control, log, why);
        if (!value) {
            missing.push_back(why);
            missingText += (missingText.empty() ? "" : "; ") + why;
            continue;
        }
        const Json json = toJson(controls::formatJson(control, *value));
        values[control.name] = json;
        items.push_back(Json{{"control", control.name}, {"value", json}, {"text", controls::formatText(control, *value)}});
    }
    if (!missing.empty())
        return failure(ApiErrorType::NotRead, "not read from the unit: " + missingText, r.id,
                       Json{{"missing", missing}});
    Json out;
    out["reply"] = "get";
    out["values"] = values;
    if (r.texts)
        out["items"] = items;
    return jsonLine(withId(out, r.id));
}

namespace {

// The unit's parameter whose report carries a direct command's new value (and
// is mirrored into the status record the control is read from); nothing for
// the other controls.
std::optional<std::uint8_t> reportedParam(const DeviceModel& model, const controls::Control& control)
{
    std::optional<NamedParam> slot;
    switch (control.kind) {
    case controls::Kind::Volume: slot = NamedParam::VOLUME; break;
    case controls::Kind::Balance: slot = NamedParam::LR_BALANCE; break;
    case controls::Kind::Mute: slot = NamedParam::MUTE; break;
    case controls::Kind::Zone2Volume: slot = NamedParam::Z2_VOL; break;
    case controls::Kind::Zone2Balance: slot = NamedParam::Z2_BAL; break;
    case controls::Kind::Output:
        if (control.index >= 0 && control.index < kOutputChannels)
            slot = static_cast<NamedParam>(static_cast<int>(NamedParam::OUT_ADJ_CENTER) + control.index);
        break;
    default: break;
    }
    if (!slot)
        return std::nullopt;
    const std::uint8_t id = model.namedSlot(*slot);
    return id != 0 ? std::optional<std::uint8_t>(id) : std::nullopt;
}

// The line as a JSON set uses it: the service's own, with the read-back of a
// direct command taken from the unit's report. The unit reports every
// parameter it changes; its report of the parameter the command wrote, sent
// after the command was acknowledged, is the unit's value, and once it is in
// the records they need not be read again. Without that report (a unit that
// had the value already, or that did not report in time) the status is read
// as for every other set.
class SetLine : public controls::LineHost {
public:
    SetLine(UnitLine& unit, std::optional<std::uint8_t> param) : unit_(unit), param_(param) {}

    DeviceModel& model() override { return unit_.model(); }
    const controls::ReadLog& readLog() const override { return unit_.readLog(); }
    controls::Outcome exchange(std::uint8_t command, const std::function<void()>& send, std::string& error) override
    {
        return unit_.exchange(command, send, param_, error, &reported_);
    }
    controls::Outcome writeParams(const std::function<int()>& change, std::string& error) override
    {
        return unit_.writeParams(change, error);
    }
    bool waitFor(const std::function<bool()>& done, int limitMs) override { return unit_.waitFor(done, limitMs); }
    bool stepFailed() const override { return unit_.stepFailed(); }
    bool reread() override { return reported_ || unit_.reread(); }
    bool customNameShown() const override { return unit_.customNameShown(); }
    bool lineLost() const override { return unit_.lineLost(); }

private:
    UnitLine& unit_;
    std::optional<std::uint8_t> param_;
    bool reported_ = false;
};

} // namespace

std::string Service::jsonSet(const ApiRequest& r)
{
    if (auto lost = lineFailure(r.id))
        return *lost;
    unit_->freshStatus(); // relative changes start from the unit's value
    DeviceModel& model = unit_->model();
    // Every name and value is checked, and resolved against the unit's value,
    // before anything is sent.
    std::vector<std::pair<controls::Control, controls::Value>> plan;
    for (const auto& [name, scalar] : r.values) {
        const auto control = controls::findControl(name, &model);
        if (!control)
            return failure(ApiErrorType::UnknownControl, "no control named \"" + name + "\"", r.id,
                           Json{{"control", name}});
        std::string error;
        const auto request = controls::parseJson(*control, scalar, &model, error);
        if (!request)
            return failure(ApiErrorType::InvalidValue, error, r.id, Json{{"control", control->name}});
        std::string missing;
        const auto current = controls::readValue(model, *control, unit_->readLog(), missing);
        if (!current)
            return failure(ApiErrorType::NotRead, "not read from the unit: " + missing, r.id,
                           Json{{"control", control->name}, {"missing", Json::array({missing})}});
        const auto target = controls::resolve(*control, *request, *current, model, error);
        if (!target)
            return failure(ApiErrorType::InvalidValue, error, r.id, Json{{"control", control->name}});
        plan.emplace_back(*control, *target);
    }
    Json results = Json::array();
    for (const auto& [control, target] : plan) {
        SetLine line(*unit_, reportedParam(model, control));
        const controls::SetResult result = controls::setValue(line, control, target);
        Json one;
        one["control"] = control.name;
        one["outcome"] = outcomeWord(result.outcome);
        if (result.afterRead) {
            one["value"] = toJson(controls::formatJson(control, result.after));
            one["text"] = controls::formatText(control, result.after);
        }
        results.push_back(one);
        log("json: set " + control.name + ": " + outcomeText(result.outcome));
        if (result.outcome != controls::Outcome::Done && result.outcome != controls::Outcome::Unchanged)
            return failure(errorOf(result.outcome), control.name + ": " + result.error, r.id,
                           Json{{"control", control.name}, {"results", results}});
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
    if (auto lost = lineFailure(r.id))
        return *lost;
    // With changes: every control of the table and every parameter no
    // control shows, before the key and once the unit has been read again.
    DeviceModel& model = unit_->model();
    std::vector<controls::Control> list;
    std::vector<std::optional<controls::Value>> before;
    auto snapshot = [&] {
        std::vector<std::optional<controls::Value>> values;
        for (const controls::Control& c : list) {
            std::string missing;
            values.push_back(controls::readValue(model, c, unit_->readLog(), missing));
        }
        return values;
    };
    if (r.changes) {
        unit_->freshStatus();
        list = controls::controlTable();
        const int total = model.unitConfig().TotalParams;
        for (int id = 0; id < total; ++id) {
            const auto pid = static_cast<std::uint8_t>(id);
            if (!model.paramDefined(pid))
                continue;
            for (const controls::Control& c : controls::controlsOfParam(model, pid))
                if (c.kind == controls::Kind::Param)
                    list.push_back(c);
        }
        before = snapshot();
    }
    std::string error;
    const controls::Outcome outcome =
        unit_->exchange(DC_CMD_IR, [this, code = *key] { unit_->model().SendIrKey(code); }, error);
    log("json: ir " + r.key + ": " + outcomeText(outcome));
    unit_->statusChanged(); // a key changes what the status says
    if (outcome != controls::Outcome::Done)
        return failure(errorOf(outcome), "ir " + r.key + ": " + error, r.id, Json{{"reason", error}});
    Json out;
    out["reply"] = "ir";
    out["key"] = r.key;
    out["outcome"] = outcomeWord(outcome);
    if (r.changes) {
        // The unit reports what the key changed; the status read takes in the rest.
        unit_->waitFor([] { return false; }, 100);
        if (!unit_->reread())
            return failure(unit_->lineLost() ? ApiErrorType::LineLost : ApiErrorType::NotAnswered,
                           "ir " + r.key + ": the unit took the key but did not answer the status read", r.id,
                           Json{{"reason", "the unit took the key but did not answer the status read"}});
        const auto after = snapshot();
        Json changes = Json::array();
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (!after[i] || after[i] == before[i])
                continue;
            Json c;
            c["control"] = list[i].name;
            c["value"] = toJson(controls::formatJson(list[i], *after[i]));
            c["text"] = controls::formatText(list[i], *after[i]);
            if (before[i]) {
                c["was"] = toJson(controls::formatJson(list[i], *before[i]));
                c["was_text"] = controls::formatText(list[i], *before[i]);
            }
            changes.push_back(c);
        }
        out["changes"] = changes;
    }
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
        const auto display = controls::displayLines(p.data(), p.dataLength());
        event["event"] = "display";
        event["line1"] = display[0];
        event["line2"] = display[1];
        lines.push_back(jsonLine(event));
        break;
    }
    case DC_SLEEP:
    case DC_WAKEUP:
        event["event"] = "power";
        event["state"] = powerEventWord(p.code() == DC_SLEEP);
        lines.push_back(jsonLine(event));
        break;
    default:
        break;
    }
    return lines;
}

} // namespace bm::service
