// The JSON API's configuration requests on the line thread: save (the unit's
// configuration as a .lex file's bytes), restore (a file, whole or only the
// named differences) and diff (a file against the unit), through the same
// save, loader, restore and comparison as brennmark-cli's save, restore and
// diff. Each runs as one job of the line thread, so every other client's
// request waits until it has ended.
#include "service/service.h"

#include "config/config_diff.h"
#include "config/config_file_io.h"
#include "config/config_restore.h"
#include "config/config_selective_restore.h"
#include "link/quor_control.h"
#include "model/device_model.h"

#include <algorithm>
#include <cctype>

namespace bm::service {
namespace {

Json reply(const char* what, const Json& id)
{
    Json out;
    out["reply"] = what;
    if (!id.is_null())
        out["id"] = id;
    return out;
}

// A file name for the download: the product, lower case, and ".lex".
std::string downloadName(const DeviceModel& model)
{
    std::string name;
    for (const char c : std::string(ProductName(model.unitConfig().ProductId)))
        name += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                                                             : '-';
    return (name.empty() ? "unit" : name) + ".lex";
}

} // namespace

void Service::waitLineQuiet()
{
    // A save or restore starts once no status sweep is under way (its answers
    // would meet the save's requests) and the link sends again after a change
    // made at the unit (a request held off would be dropped unsent); the
    // save ends with a sweep, and the model is the unit's again once it has
    // ended.
    CQuorControl& link = unit_->model().link();
    unit_->waitFor([&link] { return !link.state().StatusSweepActive && !link.state().SendSuppressed; }, 10000);
}

// For the log of a failed read: what the link was doing.
std::string Service::linkNote()
{
    const LinkState& s = unit_->model().link().state();
    return std::string(" (line ") + lineStateName(unit_->lineState()) + (s.StatusSweepActive ? ", a sweep under way" : "") +
           (s.SendSuppressed ? ", sends held off" : "") + ")";
}

std::string Service::jsonSave(const Json& id)
{
    if (auto lost = lineFailure(id))
        return *lost;
    std::string error;
    waitLineQuiet();
    const auto bytes = saveUnitToMemory(unit_->model(), error);
    waitLineQuiet();
    log(std::string("json: save: ") + (bytes ? "done" : error + linkNote()));
    if (!bytes)
        return failureLine(unit_->lineLost() ? ApiErrorType::LineLost : ApiErrorType::NotAnswered,
                       "Failed to save configuration! " + error, id, Json{{"reason", error}});
    Json out = reply("save", id);
    out["name"] = downloadName(unit_->model());
    out["size"] = bytes->size();
    out["file"] = base64Encode(*bytes);
    return jsonLine(out);
}

std::string Service::jsonRestore(const ApiRequest& r)
{
    // The one loader's check comes first: nothing is sent from a file it refuses.
    std::string error;
    const auto file = loadConfigBytes(r.fileName, r.file, error);
    if (!file) {
        log("json: restore refused: " + error);
        return failureLine(ApiErrorType::InvalidValue, "Failed to restore configuration! " + error, r.id,
                       Json{{"reason", error}});
    }
    if (auto lost = lineFailure(r.id))
        return *lost;
    if (!unit_->freshStatus())
        return failureLine(unit_->lineLost() ? ApiErrorType::LineLost : ApiErrorType::NotAnswered,
                       "Failed to restore configuration! the unit's status could not be read", r.id,
                       Json{{"reason", "the unit's status could not be read"}});
    DeviceModel& model = unit_->model();
    RestoreSelection selection;
    if (r.onlyGiven && !selectionFromNames(model, r.only, selection, error))
        return failureLine(ApiErrorType::UnknownControl, "unknown name \"" + error + "\" in only", r.id,
                       Json{{"control", error}});

    const Json before = controlValues(false)["controls"];
    const auto paramsBefore = model.paramValues();
    const int countBefore = model.paramValueCount();
    // Whatever happens now, what the model holds is read again before it is used.
    unit_->statusChanged();
    waitLineQuiet();
    const RestoreRun run = restoreFromFile(model, *file, r.onlyGiven ? &selection : nullptr,
                                         r.customNameShown.value_or(unit_->customNameShown()));
    const bool reread = unit_->reread();
    log("json: restore " + r.fileName + ": " + (run.ok ? "done" : run.error));
    if (reread)
        postRestoredChanges(before, paramsBefore, countBefore);
    if (!run.ok) {
        // A file of another unit is refused before anything is sent.
        const UnitConfig unit = model.unitConfig();
        const bool fits = file->header.unitConfig == unit.toBytes() && file->system.values.size() == unit.TotalParams;
        const ApiErrorType type = !fits               ? ApiErrorType::InvalidValue
                                  : unit_->lineLost() ? ApiErrorType::LineLost
                                                      : ApiErrorType::NotAnswered;
        const std::string prefix = "Failed to restore configuration! ";
        return failureLine(type, run.error, r.id, Json{{"reason", run.error.substr(prefix.size())}});
    }
    Json out = reply("restore", r.id);
    out["outcome"] = "done";
    if (run.written >= 0)
        out["values"] = run.written;
    if (!run.notes.empty())
        out["notes"] = run.notes;
    if (!reread)
        out["notes"].push_back("the unit was not read again afterwards");
    return jsonLine(out);
}

// What a restore changed, as the unit would have reported it had it been
// heard: the parameters as change events, the names as name events.
void Service::postRestoredChanges(const Json& before, const std::array<std::uint8_t, 256>& paramsBefore,
                                  int countBefore)
{
    DeviceModel& model = unit_->model();
    const auto now = model.paramValues();
    const int count = std::min(countBefore, model.paramValueCount());
    std::vector<std::pair<std::uint8_t, std::uint8_t>> changed;
    for (int id = 0; id < count; ++id)
        if (now[static_cast<std::size_t>(id)] != paramsBefore[static_cast<std::size_t>(id)])
            changed.emplace_back(static_cast<std::uint8_t>(id), now[static_cast<std::size_t>(id)]);
    postParamChanges(changed);
    const Json after = controlValues(false)["controls"];
    for (const controls::Control& c : controls::controlTable()) {
        if (c.source != controls::Source::InputName && c.source != controls::Source::CustomName)
            continue;
        const auto a = after.find(c.name);
        if (a == after.end())
            continue;
        const auto b = before.find(c.name);
        if (b == before.end() || *b != *a)
            postNameEvent(c.name, *a);
    }
}

std::string Service::jsonDiff(const ApiRequest& r)
{
    std::string error;
    const auto file = loadConfigBytes(r.fileName, r.file, error);
    if (!file)
        return failureLine(ApiErrorType::InvalidValue, error, r.id, Json{{"reason", error}});
    if (auto lost = lineFailure(r.id))
        return *lost;
    DeviceModel& model = unit_->model();
    waitLineQuiet();
    const auto unit = readUnitConfiguration(model, error);
    waitLineQuiet();
    log("json: diff " + r.fileName + ": " + (unit ? "read the unit" : error + linkNote()));
    if (!unit)
        return failureLine(unit_->lineLost() ? ApiErrorType::LineLost : ApiErrorType::NotAnswered, error, r.id,
                       Json{{"reason", error}});
    // The file's side is named by the unit's definitions when it is of the
    // unit's ROM; otherwise (forced) its parameters are paired by id.
    const DefinitionNames unitNames = DefinitionNames::fromModel(model);
    const bool sameRom = file->header.unitConfig == unit->header.unitConfig;
    const ConfigComparison comparison =
        compareConfigs(*file, *unit, sameRom ? unitNames : DefinitionNames{}, unitNames, r.force);
    if (!comparison.refusal.empty() && !r.force) {
        const std::string why = "will not compare configurations of " + comparison.refusal;
        return failureLine(ApiErrorType::InvalidValue, why, r.id, Json{{"reason", why}, {"refusal", comparison.refusal}});
    }
    Json list = Json::array();
    for (const ConfigDifference& d : comparison.differences) {
        Json j;
        j["name"] = d.label;
        j["a"] = toJson(d.jsonA);
        j["b"] = toJson(d.jsonB);
        j["a_text"] = controls::fromUnitText(d.a);
        j["b_text"] = controls::fromUnitText(d.b);
        j["text"] = controls::fromUnitText(differenceLine(d));
        // What a restore can write back: names and system parameters of the unit's ROM.
        j["restorable"] = comparison.refusal.empty() && d.kind != ConfigDifference::Kind::EffectParam;
        // What the panel's Compare ticks map to: the kind, the input, parameter
        // or effect id, and the parameters a restore of it writes.
        j["kind"] = kindWord(d.kind);
        j["id"] = d.id;
        if (!d.params.empty())
            j["params"] = d.params;
        list.push_back(j);
    }
    Json out = reply("diff", r.id);
    out["differences"] = list;
    if (!comparison.refusal.empty())
        out["refusal"] = comparison.refusal;
    return jsonLine(out);
}

void Service::postPassedName(const Packet& request, const std::vector<Packet>& answers)
{
    const std::uint8_t code = request.code();
    if ((code != DC_CMD_SET_INPUT_NAME && code != DC_CMD_SET_CUST_NAME) || request.dataLength() < 1)
        return;
    const bool taken = std::any_of(answers.begin(), answers.end(),
                                   [code](const Packet& a) { return a.code() == DC_ACK && answersRequest(a, code); });
    if (!taken)
        return;
    const std::uint8_t* data = request.data();
    if (code == DC_CMD_SET_INPUT_NAME && data[0] >= kInputCount)
        return;
    std::string name;
    for (std::size_t i = 1; i < request.dataLength() && data[i] != 0; ++i)
        name += static_cast<char>(data[i]);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    postNameEvent(code == DC_CMD_SET_CUST_NAME ? "custom-name" : "input-name-" + std::to_string(data[0] + 1),
                  controls::fromUnitText(name));
}

} // namespace bm::service
