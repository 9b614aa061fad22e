// The JSON API's work on the line thread (hello, get, set, ir) and the events
// made from the unit's own messages. Names, units, value types and the way a
// value is set are the controls table's, as in brennmark-cli.
#include "service/service.h"

#include "model/device_model.h"
#include "unit/set_pipeline.h"
#include "service/volume_cap.h"
#include "unit/unit_events.h"

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

// A request that reaches a unit still waking waits for it (bounded); past the
// bound it is not answered, with the reason told.
std::optional<std::string> wakingFailure(UnitLine& unit, const Json& id)
{
    std::string error;
    if (unit.awaitAwake(error))
        return std::nullopt;
    return failureLine(ApiErrorType::NotAnswered, error, id, Json{{"reason", "waking"}});
}

} // namespace

Json Service::controlValues(bool withUnread)
{
    DeviceModel& model = unit_->model();
    const controls::ReadLog& log = unit_->readLog();
    Json values = Json::object();
    Json unread = Json::array();
    const bool changing = unit_->unitChanging(); // nothing of another unit read yet
    for (const controls::Control& control : controls::controlTable()) {
        std::string missing;
        const auto value = changing ? std::nullopt : controls::readValue(model, control, log, missing);
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
    if (const auto cap = unit_->maxVolume())
        out["max_volume"] = *cap;
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
    // Another unit or ROM that answered has nothing read yet: the old one's
    // values are not its own.
    if (unit_->unitChanging() && line != LineState::Lost && line != LineState::Reconnecting)
        return failureLine(ApiErrorType::NotRead, "another unit answered: it is being read", id);
    if (line != LineState::Lost && line != LineState::Reconnecting)
        return std::nullopt;
    return failureLine(ApiErrorType::LineLost, std::string("the line to the unit is ") + lineStateName(line), id,
                   Json{{"line", lineStateName(line)}});
}

std::string Service::jsonGet(const ApiRequest& r)
{
    if (auto lost = lineFailure(r.id))
        return *lost;
    if (auto waking = wakingFailure(*unit_, r.id))
        return *waking;
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
                return failureLine(ApiErrorType::UnknownControl, "no control named \"" + name + "\"", r.id,
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
        return failureLine(ApiErrorType::NotRead, "not read from the unit: " + missingText, r.id,
                       Json{{"missing", missing}});
    Json out;
    out["reply"] = "get";
    out["values"] = values;
    if (r.texts)
        out["items"] = items;
    return jsonLine(withId(out, r.id));
}

std::string Service::jsonSet(const ApiRequest& r)
{
    if (auto lost = lineFailure(r.id))
        return *lost;
    if (auto waking = wakingFailure(*unit_, r.id))
        return *waking;
    unit_->freshStatus(); // relative changes start from the unit's value
    std::vector<unitcore::SetItem> items;
    for (const auto& [name, scalar] : r.values)
        items.push_back({name, scalar});
    const unitcore::Plan plan = unitcore::plan(unit_->model(), unit_->readLog(), items);
    if (const auto& e = plan.error) {
        switch (e->kind) {
        case unitcore::PlanError::Kind::UnknownControl:
            return failureLine(ApiErrorType::UnknownControl, e->message, r.id, Json{{"control", e->control}});
        case unitcore::PlanError::Kind::NotRead:
            return failureLine(ApiErrorType::NotRead, e->message, r.id,
                           Json{{"control", e->control}, {"missing", Json::array({e->missing})}});
        case unitcore::PlanError::Kind::ReadOnly:
        case unitcore::PlanError::Kind::InvalidValue:
            return failureLine(ApiErrorType::InvalidValue, e->message, r.id, Json{{"control", e->control}});
        }
    }
    if (const auto over = overVolumeCap(unit_->model(), plan.changes, unit_->maxVolume())) {
        log("json: set volume refused: " + *over);
        return failureLine(ApiErrorType::Refused, *over, r.id,
                           Json{{"control", "volume"}, {"reason", "max_volume"}, {"max_volume", *unit_->maxVolume()}});
    }
    Json results = Json::array();
    for (const unitcore::Applied& a : unitcore::apply(*unit_, plan.changes)) {
        const controls::Control& control = a.control;
        const controls::SetResult& result = a.result;
        Json one;
        one["control"] = control.name;
        one["outcome"] = outcomeWord(result.outcome);
        if (result.afterRead) {
            one["value"] = toJson(controls::formatJson(control, result.after));
            one["text"] = controls::formatText(control, result.after);
        }
        results.push_back(one);
        log("json: set " + control.name + ": " + outcomeText(result.outcome));
        // The unit never reports a name it took: the other clients are told here.
        if (result.outcome == controls::Outcome::Done && result.afterRead &&
            (control.source == controls::Source::InputName || control.source == controls::Source::CustomName))
            postNameEvent(control.name, one["value"]);
        if (!unitcore::succeeded(result))
            return failureLine(errorOf(result.outcome), control.name + ": " + result.error, r.id,
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
        return failureLine(ApiErrorType::InvalidValue, "no IR key named \"" + r.key + "\"", r.id);
    if (auto lost = lineFailure(r.id))
        return *lost;
    if (auto waking = wakingFailure(*unit_, r.id))
        return *waking;
    // With changes: every control of the table and every parameter no
    // control shows, before the key and once the unit has been read again.
    DeviceModel& model = unit_->model();
    std::vector<controls::Control> list;
    std::vector<std::optional<controls::Value>> before;
    auto snapshot = [&] { return unitcore::valuesOf(model, unit_->readLog(), list); };
    if (r.changes) {
        unit_->freshStatus();
        list = unitcore::allControls(model);
        before = snapshot();
    }
    std::string error;
    const controls::Outcome outcome =
        unit_->exchange(DC_CMD_IR, [this, code = *key] { unit_->model().SendIrKey(code); }, error);
    log("json: ir " + r.key + ": " + outcomeText(outcome));
    unit_->statusChanged(); // a key changes what the status says
    if (outcome != controls::Outcome::Done)
        return failureLine(errorOf(outcome), "ir " + r.key + ": " + error, r.id, Json{{"reason", error}});
    Json out;
    out["reply"] = "ir";
    out["key"] = r.key;
    out["outcome"] = outcomeWord(outcome);
    if (r.changes) {
        // The unit reports what the key changed; the status read takes in the rest.
        unit_->waitFor([] { return false; }, 100);
        if (!unit_->reread())
            return failureLine(unit_->lineLost() ? ApiErrorType::LineLost : ApiErrorType::NotAnswered,
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
        for (const unitcore::ControlChange& c : unitcore::changesOfReport(unit_->model(), unit_->readLog(), id, value)) {
            Json e;
            e["event"] = "change";
            e["control"] = c.control.name;
            e["value"] = toJson(controls::formatJson(c.control, c.value));
            e["text"] = controls::formatText(c.control, c.value);
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
