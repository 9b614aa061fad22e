// The commands. Every value goes through the controls table (model/controls.h),
// so status, get, set, watch, ir and diff speak one vocabulary; everything they
// change on the unit goes through the model's operations and the configuration
// code the program itself uses.
#include "cli/cli_commands.h"

#include "cli/cli_diagnostics.h"

#include "cli/cli_controls.h"
#include "cli/cli_web.h"
#include "cli/cli_output.h"
#include "config/config_diff.h"
#include "config/config_file.h"
#include "config/config_file_io.h"
#include "config/config_restore.h"
#include "config/config_save.h"
#include "config/config_selective_restore.h"
#include "config/config_units.h"
#include "model/device_model.h"
#include "platform/file_access.h"
#include "platform/settings_keys.h"
#include "unit/set_pipeline.h"
#include "unit/unit_events.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <ctime>

namespace bm::cli {
namespace {

using json = nlohmann::ordered_json;
using controls::Control;
using controls::Value;

volatile std::sig_atomic_t gInterrupted = 0;
bool gJson = false;
bool gQuiet = false;

// Installs `handler`, but leaves a signal ignored that the program was
// started with ignored.
void catchSignal(int signal, void (*handler)(int))
{
    if (std::signal(signal, handler) == SIG_IGN)
        std::signal(signal, SIG_IGN);
}

void onInterrupt(int)
{
    gInterrupted = 1;
}

json toJson(const controls::JsonScalar& v)
{
    return std::visit([](const auto& x) -> json { return json(x); }, v);
}

// A control's value in text output: names quoted when they would not read
// back as one word, control characters escaped.
std::string textOf(const Control& c, const Value& v)
{
    return shown(controls::formatText(c, v));
}

// A text value quoted, so a name with blanks reads as one word.
std::string wordOf(const Control& c, const Value& v)
{
    const std::string text = textOf(c, v);
    const bool quote = c.type == controls::Type::Text || text.empty() || text.find_first_of(" \"") != std::string::npos;
    return quote ? "\"" + text + "\"" : text;
}

// The definitions the program holds (the cache), to check parameter names
// before the port is opened; nothing when there are none yet. Read only when
// a name is not a control's.
class HeldDefinitions {
public:
    explicit HeldDefinitions(CliSession& session) : session_(session) {}
    const DeviceModel* get() const
    {
        if (!loaded_) {
            loaded_ = true;
            if (!DeviceModel::definitionCacheMissing(session_.settings())) {
                model_ = std::make_unique<DeviceModel>(session_.settings(), session_.prompt());
                model_->LoadDefinitionCache();
            }
        }
        return model_.get();
    }

private:
    CliSession& session_;
    mutable bool loaded_ = false;
    mutable std::unique_ptr<DeviceModel> model_;
};

// A definition name the unit may have (checked once its definitions are held).
bool mayBeDefinitionName(const std::string& name)
{
    return !name.empty() && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos;
}

int usage(const char* command, const std::string& why)
{
    return fail(kExitError, why + " (see brennmark-cli " + command + " --help)");
}

// A name checked before the port opens: a control, a held definition, or (no
// definitions held yet) something that may be one.
bool checkName(const std::string& name, const HeldDefinitions& held, std::optional<Control>& control,
               std::string& error)
{
    control = controls::findControl(name);
    if (!control)
        control = controls::findControl(name, held.get());
    if (control)
        return true;
    if (!held.get() && mayBeDefinitionName(name))
        return true;
    error = "unknown name " + shown(name) + " (brennmark-cli controls lists the names)";
    return false;
}

// The values of `names` as this run read them; fails naming what was not read.
bool readAll(CliSession& session, const std::vector<Control>& list, std::vector<Value>& values, std::string& error)
{
    std::string missing;
    for (const Control& c : list) {
        std::string why;
        const auto v = controls::readValue(session.model(), c, session.events().readLog(), why);
        if (!v) {
            missing += (missing.empty() ? "" : "; ") + why;
            continue;
        }
        values.push_back(*v);
    }
    if (missing.empty())
        return true;
    error = "not read from the unit: " + missing;
    return false;
}

std::string timeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03dZ", buffer, static_cast<int>(ms));
    return full;
}

// --- The whole state, for status, watch and ir -----------------------------------

std::vector<Control> stateControls(const DeviceModel& m)
{
    return unitcore::allControls(m);
}

struct Snapshot {
    std::vector<Control> controls;
    std::vector<std::optional<Value>> values;
};

Snapshot snapshot(CliSession& session, const std::vector<Control>& list)
{
    return Snapshot{list, unitcore::valuesOf(session.model(), session.events().readLog(), list)};
}

json stateJson(const Snapshot& s)
{
    json values = json::object();
    for (std::size_t i = 0; i < s.controls.size(); ++i)
        if (s.values[i])
            values[s.controls[i].name] = toJson(controls::formatJson(s.controls[i], *s.values[i]));
    return values;
}

std::string stateText(const Snapshot& s)
{
    std::string text;
    for (std::size_t i = 0; i < s.controls.size(); ++i) {
        if (!s.values[i])
            continue;
        text += (text.empty() ? "" : " ") + s.controls[i].name + "=" + wordOf(s.controls[i], *s.values[i]);
    }
    return text;
}

struct Change {
    const Control* control;
    std::optional<Value> was;
    Value now;
};

std::vector<Change> changes(const Snapshot& before, const Snapshot& after)
{
    std::vector<Change> list;
    for (std::size_t i = 0; i < after.controls.size() && i < before.controls.size(); ++i)
        if (after.values[i] && after.values[i] != before.values[i])
            list.push_back({&after.controls[i], before.values[i], *after.values[i]});
    return list;
}

std::string changeText(const Change& c)
{
    std::string text = c.control->name + " ";
    if (c.was)
        text += wordOf(*c.control, *c.was) + " -> ";
    return text + wordOf(*c.control, c.now);
}

json changeJson(const Change& c)
{
    json j = {{"name", c.control->name}, {"value", toJson(controls::formatJson(*c.control, c.now))}};
    if (c.was)
        j["was"] = toJson(controls::formatJson(*c.control, *c.was));
    return j;
}

// --- status ------------------------------------------------------------------

int checkNoArgs(CliSession&, const Invocation& inv, const char* command)
{
    if (!inv.args.empty())
        return usage(command, std::string(command) + " takes no arguments");
    return kExitOk;
}

int checkStatus(CliSession& s, const Invocation& inv)
{
    return checkNoArgs(s, inv, "status");
}

int runStatus(CliSession& session, const Invocation& inv)
{
    const std::vector<Control>& list = controls::controlTable();
    std::vector<Value> values;
    std::string error;
    if (!readAll(session, list, values, error))
        return fail(kExitError, error);
    if (inv.json) {
        json j = json::object();
        for (std::size_t i = 0; i < list.size(); ++i)
            j[list[i].name] = toJson(controls::formatJson(list[i], values[i]));
        outJson(j);
        return kExitOk;
    }
    for (std::size_t i = 0; i < list.size(); ++i)
        out(list[i].name + ": " + textOf(list[i], values[i]));
    return kExitOk;
}

// --- controls ------------------------------------------------------------------

const char* setterText(controls::Setter s)
{
    switch (s) {
    case controls::Setter::ReadOnly: return "read only";
    case controls::Setter::Direct: return "direct command";
    case controls::Setter::IrKey: return "IR key";
    case controls::Setter::ToneSteps: return "tone steps";
    case controls::Setter::SysParams: return "parameter write";
    case controls::Setter::Name: return "name command";
    }
    return "";
}

const char* sourceText(controls::Source s)
{
    switch (s) {
    case controls::Source::UnitConfig: return "unit configuration";
    case controls::Source::SysStatus: return "system status";
    case controls::Source::Zone2Status: return "zone 2 status";
    case controls::Source::ParamValues: return "parameter values";
    case controls::Source::CustomName: return "custom name";
    case controls::Source::InputName: return "input name";
    case controls::Source::FrontPanel: return "front panel";
    }
    return "";
}

const char* typeText(controls::Type t)
{
    switch (t) {
    case controls::Type::Number: return "number";
    case controls::Type::Switch: return "boolean";
    case controls::Type::Choice:
    case controls::Type::Text: return "string";
    }
    return "";
}

int checkControls(CliSession& s, const Invocation& inv)
{
    return checkNoArgs(s, inv, "controls");
}

int runControls(CliSession&, const Invocation& inv)
{
    json list = json::array();
    for (const Control& c : controls::controlTable()) {
        json j = {{"name", c.name},
                  {"alias", c.alias.empty() ? json(nullptr) : json(c.alias)},
                  {"unit", c.unit},
                  {"type", typeText(c.type)},
                  {"values", controls::valueHint(c)},
                  {"read", sourceText(c.source)},
                  {"set", setterText(c.setter)}};
        const auto range = controls::rangeOf(c);
        if (range && c.type == controls::Type::Number) {
            j["minimum"] = toJson(controls::formatJson(c, {range->minimum, {}}));
            j["maximum"] = toJson(controls::formatJson(c, {range->maximum, {}}));
        }
        const controls::Layout layout = controls::layoutOf(c);
        j["group"] = layout.group;
        if (layout.step > 0)
            j["step"] = layout.step;
        if (!layout.choices.empty())
            j["choices"] = layout.choices;
        list.push_back(j);
    }
    if (inv.json) {
        outJson({{"controls", list}});
        return kExitOk;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%-15s %-16s %-5s %-16s %-18s %s", "NAME", "ALIAS", "UNIT", "SET BY",
                  "READ FROM", "VALUES");
    out(line);
    for (const json& j : list) {
        std::snprintf(line, sizeof line, "%-15s %-16s %-5s %-16s %-18s %s", j["name"].get<std::string>().c_str(),
                      j["alias"].is_null() ? "-" : j["alias"].get<std::string>().c_str(),
                      j["unit"].get<std::string>().empty() ? "-" : j["unit"].get<std::string>().c_str(),
                      j["set"].get<std::string>().c_str(), j["read"].get<std::string>().c_str(),
                      j["values"].get<std::string>().c_str());
        out(line);
    }
    out("Any other parameter of the unit's definitions by its name (e.g. SUB_LOWPASS), 0 to its maximum.");
    return kExitOk;
}

// --- params --------------------------------------------------------------------

int checkParams(CliSession& s, const Invocation& inv)
{
    return checkNoArgs(s, inv, "params");
}

bool lineLost(CliSession& session)
{
    const LineState line = session.link().line();
    return line == LineState::Lost || line == LineState::Reconnecting;
}

// The unit's whole configuration, read by the program's own save; the model
// is fresh again once the save's closing sweep has ended.
std::optional<ConfigFileContents> saveUnit(CliSession& session, std::string& error)
{
    auto contents = readUnitConfiguration(session.model(), error);
    if (contents)
        session.waitFor([&] { return !session.link().state().StatusSweepActive; }, 10000);
    else if (lineLost(session))
        error = "the line was lost while reading the unit";
    return contents;
}

int runParams(CliSession& session, const Invocation& inv)
{
    std::string error;
    const auto unit = saveUnit(session, error);
    if (!unit)
        return fail(kExitError, error);
    const DeviceModel& m = session.model();
    const DefinitionNames names = DefinitionNames::fromModel(m);
    const auto& values = unit->system.values;

    if (!inv.json) {
        for (std::size_t id = 0; id < values.size(); ++id) {
            char line[96];
            std::snprintf(line, sizeof line, "%3zu  %-21s %4d  max %d", id,
                          shown(names.paramName(static_cast<int>(id))).c_str(), values[id],
                          m.paramDef(static_cast<std::uint8_t>(id)).maximum);
            out(line);
        }
        for (const EffectParamRecord& e : unit->effects) {
            std::string line = "effect " + std::to_string(e.effectId) + " " +
                               shown(controls::fromUnitText(names.effectName(e.effectId))) + ":";
            for (std::uint8_t v : e.values)
                line += " " + std::to_string(v);
            out(line);
        }
        return kExitOk;
    }
    json params = json::array();
    for (std::size_t id = 0; id < values.size(); ++id)
        params.push_back({{"id", id},
                          {"name", controls::fromUnitText(names.paramName(static_cast<int>(id)))},
                          {"value", values[id]},
                          {"maximum", m.paramDef(static_cast<std::uint8_t>(id)).maximum}});
    json effects = json::array();
    for (const EffectParamRecord& e : unit->effects)
        effects.push_back({{"id", e.effectId},
                           {"name", controls::fromUnitText(names.effectName(e.effectId))},
                           {"params", e.values}});
    outJson({{"params", params}, {"effects", effects}});
    return kExitOk;
}

// --- get / set -----------------------------------------------------------------

int checkGet(CliSession& session, const Invocation& inv)
{
    if (inv.args.empty())
        return usage("get", "get needs at least one name");
    const HeldDefinitions held(session);
    for (const std::string& name : inv.args) {
        std::optional<Control> c;
        std::string error;
        if (!checkName(name, held, c, error))
            return fail(kExitError, error);
    }
    return kExitOk;
}

// The controls of `names`, now that the unit's definitions are held.
bool controlsOf(CliSession& session, const Args& names, std::vector<Control>& list, std::string& error)
{
    for (const std::string& name : names) {
        const auto c = controls::findControl(name, &session.model());
        if (!c) {
            error = "unknown name " + shown(name) + " (the unit's definitions have no such parameter)";
            return false;
        }
        list.push_back(*c);
    }
    return true;
}

int runGet(CliSession& session, const Invocation& inv)
{
    std::vector<Control> list;
    std::vector<Value> values;
    std::string error;
    if (!controlsOf(session, inv.args, list, error))
        return fail(kExitError, error);
    if (!readAll(session, list, values, error))
        return fail(kExitError, error);
    if (inv.json) {
        json j = json::object();
        for (std::size_t i = 0; i < list.size(); ++i)
            j[list[i].name] = toJson(controls::formatJson(list[i], values[i]));
        outJson(inv.has("--value") && list.size() == 1 ? j[list[0].name] : j);
        return kExitOk;
    }
    for (std::size_t i = 0; i < list.size(); ++i)
        out(inv.has("--value") ? textOf(list[i], values[i]) : list[i].name + " " + textOf(list[i], values[i]));
    return kExitOk;
}

int checkSet(CliSession& session, const Invocation& inv)
{
    if (inv.args.empty() || inv.args.size() % 2 != 0)
        return usage("set", "set needs NAME VALUE pairs");
    const HeldDefinitions held(session);
    for (std::size_t i = 0; i < inv.args.size(); i += 2) {
        std::optional<Control> c;
        std::string error;
        if (!checkName(inv.args[i], held, c, error))
            return fail(kExitError, error);
        if (c && !controls::parseRequest(*c, inv.args[i + 1],
                                         c->kind == controls::Kind::Param ? held.get() : nullptr, error))
            return fail(kExitError, error);
    }
    return kExitOk;
}

int runSet(CliSession& session, const Invocation& inv)
{
    // Every name and value is checked against the unit before anything is sent.
    std::vector<unitcore::SetItem> items;
    for (std::size_t i = 0; i < inv.args.size(); i += 2)
        items.push_back({inv.args[i], inv.args[i + 1]});
    const unitcore::Plan plan = unitcore::plan(session.model(), session.events().readLog(), items);
    if (const auto& e = plan.error) {
        if (e->kind == unitcore::PlanError::Kind::UnknownControl)
            return fail(kExitError,
                        "unknown name " + shown(e->control) + " (the unit's definitions have no such parameter)");
        return fail(kExitError, e->message);
    }

    CliLine line(session);
    json reports = json::object();
    for (const unitcore::Applied& a : unitcore::apply(line, plan.changes)) {
        const controls::SetResult& r = a.result;
        if (!unitcore::succeeded(r)) {
            const std::string error = a.control.name + ": " + r.error;
            if (!inv.json)
                return fail(kExitError, error);
            // One object: the error, and what was set before it.
            outJson({{"error", error}, {"exit", kExitError}, {"outcome", outcomeWord(r.outcome)},
                     {"set", reports}});
            return kExitError;
        }
        if (inv.json)
            reports[a.control.name] = toJson(controls::formatJson(a.control, r.after));
        else
            out(a.control.name + " " + textOf(a.control, r.after));
    }
    if (inv.json)
        outJson(reports);
    return kExitOk;
}

// --- ir --------------------------------------------------------------------------

int checkIr(CliSession&, const Invocation& inv)
{
    if (inv.args.empty())
        return usage("ir", "ir needs at least one KEY");
    for (const std::string& key : inv.args)
        if (!controls::irKeyCode(key))
            return usage("ir", "no IR key named " + shown(key));
    return kExitOk;
}

int runIr(CliSession& session, const Invocation& inv)
{
    CliLine line(session);
    const std::vector<Control> list = stateControls(session.model());
    for (const std::string& key : inv.args) {
        const Snapshot before = snapshot(session, list);
        const std::uint8_t code = *controls::irKeyCode(key);
        std::string error;
        const controls::Outcome sent =
            line.exchange(DC_CMD_IR, [&] { session.model().SendIrKey(code); }, error);
        if (sent != controls::Outcome::Done)
            return fail(kExitError, "key " + shown(key) + ": " + error);
        // The unit reports what the key changed; the status read takes in the rest.
        session.waitFor([] { return false; }, 100);
        if (!line.reread())
            return fail(kExitError, "key " + shown(key) + ": the unit took the key but did not answer the status read");
        const Snapshot after = snapshot(session, list);
        const auto changed = changes(before, after);
        if (inv.json) {
            json list = json::array();
            for (const Change& c : changed)
                list.push_back(changeJson(c));
            outJson({{"key", key}, {"changes", list}});
            continue;
        }
        if (changed.empty())
            out(key + ": the unit reports no change");
        for (const Change& c : changed)
            out(key + ": " + changeText(c));
    }
    return kExitOk;
}

// --- watch ---------------------------------------------------------------------

int checkWatch(CliSession&, const Invocation& inv)
{
    if (!inv.args.empty())
        return usage("watch", "watch takes no arguments");
    const auto it = inv.values.find("--seconds");
    if (it != inv.values.end()) {
        const std::string& seconds = it->second;
        char* end = nullptr;
        const long limit = std::strtol(seconds.c_str(), &end, 10);
        if (seconds.empty() || end == seconds.c_str() || *end != '\0' || limit < 0 || limit > 86400L * 365)
            return usage("watch", "--seconds takes a whole number of seconds");
    }
    return kExitOk;
}

int runWatch(CliSession& session, const Invocation& inv)
{
    const auto it = inv.values.find("--seconds");
    const bool limited = it != inv.values.end();
    const long limit = limited ? std::strtol(it->second.c_str(), nullptr, 10) : 0;

    catchSignal(SIGINT, onInterrupt);
    catchSignal(SIGTERM, onInterrupt);
    session.events().setRecording(true);
    auto emit = [&](const std::string& text, json j) {
        const std::string stamp = timeStamp();
        if (inv.json) {
            json line = {{"time", stamp}};
            line.update(j);
            outJson(line);
        } else {
            out(stamp + " " + text);
        }
        std::fflush(stdout);
    };

    // The state once, then what the unit's event stream tells; the values
    // before each change are the ones last told.
    std::map<std::string, Value> known;
    auto emitState = [&] {
        const Snapshot state = snapshot(session, stateControls(session.model()));
        known.clear();
        for (std::size_t i = 0; i < state.controls.size(); ++i)
            if (state.values[i])
                known[state.controls[i].name] = *state.values[i];
        emit("state " + stateText(state), {{"event", "state"}, {"values", stateJson(state)}});
    };
    emitState();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    while (!gInterrupted && (!limited || std::chrono::steady_clock::now() < deadline)) {
        session.waitFor([] { return gInterrupted != 0; }, 50);
        for (const unitcore::UnitEvent& e : session.events().take()) {
            switch (e.kind) {
            case unitcore::UnitEvent::Kind::Change: {
                const auto was = known.find(e.change.control.name);
                Change c{&e.change.control, std::nullopt, e.change.value};
                if (was != known.end()) {
                    if (was->second == e.change.value)
                        break; // told already (a report, then the read-back)
                    c.was = was->second;
                }
                known[e.change.control.name] = e.change.value;
                json j = changeJson(c);
                j["event"] = "change";
                emit(changeText(c), j);
                break;
            }
            case unitcore::UnitEvent::Kind::FrontPanel: {
                const std::string l1 = controls::fromUnitText(e.line1);
                const std::string l2 = controls::fromUnitText(e.line2);
                emit("display \"" + shown(l1) + "\" \"" + shown(l2) + "\"",
                     {{"event", "display"}, {"line1", l1}, {"line2", l2}});
                break;
            }
            // The service API's shape: {"event":"power","state":"asleep"}.
            case unitcore::UnitEvent::Kind::Power: {
                const char* state = powerEventWord(e.asleep);
                emit(std::string("power ") + state, {{"event", "power"}, {"state", state}});
                break;
            }
            case unitcore::UnitEvent::Kind::Line:
                emit(std::string("line ") + lineStateText(e.line), {{"event", "line"}, {"state", lineStateWord(e.line)}});
                break;
            // Another unit or ROM behind a reconnection: told at once; its
            // values follow as a new state once its definitions are in.
            case unitcore::UnitEvent::Kind::Unit:
                emit("unit " + shown(e.line1) + " ROM " + shown(e.line2),
                     {{"event", "unit"}, {"product", e.line1}, {"rom", e.line2}});
                break;
            case unitcore::UnitEvent::Kind::Ready:
                // Each definition of a download made its effect current: the
                // status is read again first.
                if (e.downloaded)
                    session.sweep();
                emitState();
                break;
            }
        }
    }
    session.events().setRecording(false);
    return kExitOk;
}

// --- save / restore ------------------------------------------------------------

int checkSave(CliSession&, const Invocation& inv)
{
    if (inv.args.size() != 1)
        return usage("save", "save needs one FILE");
    // Where the file goes is looked at before the port is opened.
    const std::string& path = inv.args[0];
    std::string target, reason;
    if (!files::resolveSaveTarget(path, target, reason))
        return fail(kExitError, "Failed to open file! (cannot write " + path + ": " + reason + ")");
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        return fail(kExitError, "Failed to open file! (cannot write " + path + ": " + std::strerror(ENOENT) + ")");
    return kExitOk;
}

int runSave(CliSession& session, const Invocation& inv)
{
    const std::string& path = inv.args[0];
    ConfigFileWriter file(path);
    if (!file.open())
        return fail(kExitError, "Failed to open file! (cannot write " + path + ": " + file.reason() + ")");
    session.prompt().setQuiet(true);
    const bool saved = SaveConfiguration(session.model(), file, session.prompt());
    session.prompt().setQuiet(false);
    if (!saved)
        return fail(kExitError, lineLost(session) ? "the line was lost while reading the unit; nothing was saved"
                                                  : "Failed to save configuration!" +
                                                        (file.reason().empty() ? "" : " (" + path + ": " + file.reason() + ")"));
    session.waitFor([&] { return !session.link().state().StatusSweepActive; }, 10000);
    if (inv.json)
        outJson({{"saved", path}});
    else
        out("saved " + path);
    return kExitOk;
}

// The words of --only, in order.
std::vector<std::string> onlyWords(const std::string& list)
{
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start)
            words.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return words;
}

int checkRestore(CliSession& session, const Invocation& inv)
{
    if (inv.args.size() != 1)
        return usage("restore", "restore needs one FILE");
    const auto only = inv.values.find("--only");
    if (only != inv.values.end() && only->second.find_first_not_of(",") == std::string::npos)
        return usage("restore", "--only needs names");
    // The file, and the names in --only, before the port is opened: a file
    // that will not be restored never costs a greeting and a sweep.
    std::string error;
    const std::optional<ConfigFileContents> file = loadConfigFile(inv.args[0], error);
    if (!file)
        return fail(kExitError, "Failed to restore configuration! " + error);
    if (only == inv.values.end())
        return kExitOk;
    // Parameter names as the definitions held for the file's ROM give them;
    // without them the names wait for the unit's own.
    const DefinitionNames names =
        DefinitionNames::fromCache(session.settings(), UnitConfig::fromBytes(file->header.unitConfig.data()));
    if (names.params.empty())
        return kExitOk;
    for (const std::string& word : onlyWords(only->second)) {
        std::string definition;
        if (!isSelectionWord(word, definition) &&
            std::find(names.params.begin(), names.params.end(), definition) == names.params.end())
            return fail(kExitError, "unknown name " + shown(word) + " in --only");
    }
    return kExitOk;
}

int runRestore(CliSession& session, const Invocation& inv)
{
    const std::string& path = inv.args[0];
    std::string error;
    // The one loader: nothing is sent from a file it refuses.
    const std::optional<ConfigFileContents> file = loadConfigFile(path, error);
    if (!file)
        return fail(kExitError, "Failed to restore configuration! " + error);

    DeviceModel& m = session.model();
    const auto only = inv.values.find("--only");
    if (only == inv.values.end()) {
        const RestoreRun run = restoreFromFile(m, *file, nullptr, false);
        if (!run.ok)
            return fail(kExitError, run.error);
        // A restore that went through may still have clamped values; say which.
        for (const std::string& text : run.notes)
            note(text);
        session.sweep();
        if (inv.json)
            outJson({{"restored", path}});
        else
            out("restored " + path);
        return kExitOk;
    }

    const std::vector<std::string> words = onlyWords(only->second);
    RestoreSelection selection;
    if (!selectionFromNames(m, words, selection, error))
        return fail(kExitError, "unknown name " + shown(error) + " in --only");
    const bool shownName = session.settings().readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;
    const RestoreRun run = restoreFromFile(m, *file, &selection, shownName);
    if (!run.ok)
        return fail(kExitError, run.error);
    session.sweep();
    if (inv.json)
        outJson({{"restored", path}, {"values", run.written}});
    else
        out("restored " + std::to_string(run.written) + " value(s) from " + path);
    return kExitOk;
}

// --- diff ----------------------------------------------------------------------

int checkDiff(CliSession&, const Invocation& inv)
{
    if (inv.args.size() != 2)
        return usage("diff", "diff needs two configurations (a file or unit)");
    // A file that cannot be compared is said before the port is opened.
    for (const std::string& side : inv.args) {
        std::string error;
        if (side != "unit" && !loadConfigFile(side, error))
            return fail(kExitError, error);
    }
    return kExitOk;
}

int runDiff(CliSession& session, const Invocation& inv)
{
    const Args& args = inv.args;
    const bool force = inv.has("--force");
    std::string error;
    const bool withUnit = args[0] == "unit" || args[1] == "unit";
    if (withUnit) {
        const int connected = session.connect(error);
        if (connected != kExitOk)
            return fail(connected, error);
    }

    std::optional<ConfigFileContents> sides[2];
    for (int i = 0; i < 2; ++i) {
        sides[i] = args[i] == "unit" ? (i == 1 && args[0] == "unit" ? sides[0] : saveUnit(session, error))
                                     : loadConfigFile(args[i], error);
        if (!sides[i])
            return fail(kExitError, error);
    }

    // Each side named by its own ROM's definitions: the unit's, or those the
    // cache holds for the file's ROM; without them parameters go by id.
    DefinitionNames names[2];
    for (int i = 0; i < 2; ++i) {
        names[i] = args[i] == "unit" ? DefinitionNames::fromModel(session.model())
                                     : DefinitionNames::fromCache(session.settings(), UnitConfig::fromBytes(sides[i]->header.unitConfig.data()));
    }
    const ConfigComparison comparison = compareConfigs(*sides[0], *sides[1], names[0], names[1], force);
    for (int i = 0; i < 2 && force && !comparison.refusal.empty(); ++i) {
        if (names[i].params.empty())
            fail(kExitOk, "the definitions of " + args[i] + "'s ROM are not held: parameters are paired by id");
    }
    if (!comparison.refusal.empty() && !force)
        return fail(kExitError, "will not compare configurations of " + comparison.refusal + " (--force compares them anyway)");
    if (inv.json) {
        json list = json::array();
        for (const ConfigDifference& d : comparison.differences)
            list.push_back({{"name", d.label}, {"a", toJson(d.jsonA)}, {"b", toJson(d.jsonB)}});
        outJson({{"differences", list}});
    } else {
        for (const ConfigDifference& d : comparison.differences)
            out(shown(controls::fromUnitText(differenceLine(d))));
    }
    return comparison.differences.empty() ? kExitOk : kExitDifferent;
}

} // namespace

void setOutputMode(bool json, bool quiet)
{
    gJson = json;
    gQuiet = quiet;
}

int fail(int status, const std::string& text)
{
    if (gJson) {
        outJson({{"error", text}, {"exit", status}});
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "brennmark-cli: %s\n", shown(text).c_str());
    }
    return status;
}

void note(const std::string& text)
{
    if (!gQuiet)
        std::fprintf(stderr, "brennmark-cli: %s\n", shown(text).c_str());
}

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"status", "status",
         "Shows every control of the table (brennmark-cli controls): product, ROM, power,\n"
         "volume, balances, mute, input, effect, stream, tone, zone 2, output levels,\n"
         "speakers, names and the two front-panel lines. Fails (status 2) naming what\n"
         "could not be read from the unit in this run.\n",
         {}, Needs::Unit, checkStatus, runStatus},
        {"controls", "controls",
         "Lists the controls: name, the definition name it also answers to, unit, how it\n"
         "is set, where it is read from, and the values it takes.\n",
         {}, Needs::Settings, checkControls, runControls},
        {"web", "web [--file FILE] [--no-qr] [--no-open]",
         "Prints the web remote's login link (brennmarkd --http), a QR code of it for a\n"
         "phone, and opens it in the browser where there is a display.\n"
         "  --file FILE   the address and token file (default: beside the service's socket)\n"
         "  --no-qr       no QR code\n"
         "  --no-open     do not open the browser\n",
         {{"--file", true}, {"--no-qr", false}, {"--no-open", false}}, Needs::Settings, checkWeb, runWeb},
        {"params", "params",
         "Lists every system parameter (id, name, value, maximum) and every effect with\n"
         "its parameter values, as a save reads them.\n",
         {}, Needs::Unit, checkParams, runParams},
        {"get", "get [--value] NAME...",
         "Prints each named value as the pages show it. NAME is a control (brennmark-cli\n"
         "controls) or any parameter name of the unit's definitions (e.g. SUB_LOWPASS).\n"
         "  --value   the bare values, one a line\n",
         {{"--value", false}}, Needs::Unit, checkGet, runGet},
        {"set", "set NAME VALUE [NAME VALUE]...",
         "Sets each value with the operation its page uses, waits for the unit's\n"
         "confirmation, reads the unit back and prints what it reports. Values as the\n"
         "pages show them: volume -80 to +12 dB, balances in steps, bass and treble -6.0\n"
         "to +6.0, tilt -3.0 to +3.0, output levels in dB (half steps), switches on/off,\n"
         "power on/standby, inputs by number (1 Tape .. 8 VCR), name or the unit's input\n"
         "name, the effect by the unit's name for it, speakers by choice. Levels also\n"
         "take +=N and -=N. Every name and value is checked before anything is sent; a\n"
         "refusal (DC_NAK) stops at once; a read-back that differs fails.\n",
         {}, Needs::Unit, checkSet, runSet},
        {"ir", "ir KEY...",
         "Sends each remote key (INPUT_DVD, ON, OFF, EFFECT_THX, BASS_UP, ZONE2_MUTE, ...)\n"
         "as the panel does and prints what the unit then reports changed.\n",
         {}, Needs::Unit, checkIr, runIr},
        {"watch", "watch [--seconds N]",
         "Prints the unit's state, then every change as it comes, each line with its\n"
         "time: values by control name, front-panel text, sleep and wake-up, the line's\n"
         "state (lost, reconnecting, connected) and what a sweep after a reconnection\n"
         "found changed. Until interrupted.\n"
         "  --seconds N   stop after N seconds\n",
         {{"--seconds", true}}, Needs::Unit, checkWatch, runWatch},
        {"save", "save FILE",
         "Saves the unit's whole configuration to FILE (.lex), replacing it only once\n"
         "the whole configuration was written.\n",
         {}, Needs::Unit, checkSave, runSave},
        {"restore", "restore FILE [--only NAME,...]",
         "Writes FILE back to a unit of the same identity: names and system parameters.\n"
         "  --only NAME,...   only these: parameter names of the definitions, or the\n"
         "                    groups speakers, levels, names, tone; everything else on\n"
         "                    the unit stays as it is\n",
         {{"--only", true}}, Needs::Unit, checkRestore, runRestore},
        {"diff", "diff A B [--force]",
         "Compares two configurations, each a .lex file or the word unit, and prints\n"
         "every difference by name with both values as the pages show them\n"
         "(\"NAME: A -> B\"). Exit status 0 when equal, 1 when different.\n"
         "Configurations of different products or ROM timestamps are refused unless\n"
         "--force.\n",
         {{"--force", false}}, Needs::Settings, checkDiff, runDiff},
        {"diagnostics", "diagnostics FILE.tar.gz",
         "Writes FILE.tar.gz for a bug report: a capture of the start-up and status read\n"
         "(the unit's names and the port left out), the versions, the link's settings and\n"
         "Brennmark's environment variables (passwords, tokens and credentials left out)\n"
         "and brennmarkd's last log lines. Written even when no unit answers.\n",
         {}, Needs::Settings, checkDiagnostics, runDiagnostics},
    };
    return table;
}

const Command* findCommand(const std::string& name)
{
    for (const Command& c : commands())
        if (name == c.name)
            return &c;
    return nullptr;
}

std::string programHelp()
{
    std::string text =
        "Usage: brennmark-cli [OPTION]... COMMAND [ARG]... [--] [ARG]...\n"
        "Controls a Ridaziv DE-1 or ZA-2 over its serial line, without windows.\n"
        "Options go anywhere before \"--\"; \"--opt=value\" and \"--opt value\" both work.\n"
        "\n"
        "Options:\n"
        "  --port DEVICE     this serial device for this run (a path, tcp://HOST:PORT for\n"
        "                    a serial line behind an IP bridge or ser2net's raw port, or\n"
        "                    rfc2217://HOST:PORT behind an RFC 2217 server, which is told\n"
        "                    19200 baud, 8 data bits, odd parity, 1 stop bit); without it\n"
        "                    $BRENNMARK_PORT, then brennmarkd when it runs (its socket\n"
        "                    exists), then the port stored by brennmark; \"service\" or\n"
        "                    unix:PATH go through brennmarkd\n"
        "  --direct          open the stored port itself, even while brennmarkd runs\n"
        "  --simulate        a simulated unit, in-process\n"
        "  --model de1|za2   the simulated unit's model (default de1)\n"
        "  --firmware A|B    the simulated unit's firmware (default A)\n"
        "  --trace FILE      write the link's trace to FILE, from the first byte\n"
        "  --capture FILE    every byte on the line, as a capture ridaziv-sim --replay\n"
        "                    plays back (JSON Lines; gzip when FILE ends in .gz)\n"
        "  --capture-redact  leave the unit's names and the port out of the capture\n"
        "  --wait SECONDS    wait up to SECONDS for a port another program holds\n"
        "  --json            JSON output (every command); an error is {\"error\": ..., \"exit\": N}\n"
        "  -v, --verbose     the decoded packets on standard error\n"
        "  -q, --quiet       no progress or notes on standard error\n"
        "  -h, --help        this text; COMMAND --help for a command's\n"
        "  -V, --version     the version\n"
        "\nCommands:\n";
    for (const Command& c : commands())
        text += "  " + std::string(c.synopsis) + "\n";
    text += "\nControls for get and set (brennmark-cli controls for the table):\n ";
    std::size_t column = 1;
    for (const Control& c : controls::controlTable()) {
        if (column + c.name.size() + 1 > 78) {
            text += "\n ";
            column = 1;
        }
        text += " " + c.name;
        column += c.name.size() + 1;
    }
    text +=
        "\n\nThe first use downloads the unit's definitions (a progress line on standard\n"
        "error when it is a terminal) and keeps them, as brennmark does.\n"
        "\nExit status: 0 success, 1 differences (diff), 2 usage or unit error, 3 no unit,\n"
        "4 the port is busy (another program holds it).\n";
    return text;
}

std::string commandHelp(const Command& command)
{
    std::string text = "Usage: brennmark-cli [OPTION]... " + std::string(command.synopsis) + "\n" + command.help +
                       "  --json   JSON output\n";
    if (std::string(command.name) == "ir") {
        text += "\nKeys:\n";
        for (const std::string& key : controls::irKeyNames())
            text += key + "\n";
    }
    return text;
}

} // namespace bm::cli
