// The commands. Everything they change on the unit goes through the model's
// operations and the configuration code the program itself uses.
#include "cli/cli_commands.h"

#include "config/config_diff.h"
#include "config/config_file.h"
#include "config/config_file_io.h"
#include "config/config_restore.h"
#include "config/config_save.h"
#include "config/config_selective_restore.h"
#include "config/config_units.h"
#include "cli/cli_controls.h"
#include "cli/json.h"
#include "model/device_model.h"
#include "platform/settings_keys.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace bm::cli {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onInterrupt(int)
{
    gInterrupted = 1;
}

void out(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

bool takeFlag(Args& args, const char* flag)
{
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == flag) {
            args.erase(it);
            return true;
        }
    }
    return false;
}

// Takes "--option VALUE"; false (with `error`) when the value is missing.
bool takeOption(Args& args, const char* option, std::string& value, bool& present, std::string& error)
{
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == option) {
            if (it + 1 == args.end()) {
                error = std::string(option) + " needs a value";
                return false;
            }
            value = *(it + 1);
            present = true;
            args.erase(it, it + 2);
            return true;
        }
    }
    return true;
}

int usage(const char* command, const std::string& why)
{
    return fail(kExitError, why + " (see brennmark-cli " + command + " --help)");
}

bool noOptionsLeft(const Args& args, const char* command, int& status)
{
    for (const std::string& a : args) {
        if (a.rfind("--", 0) == 0) {
            status = usage(command, "unknown option " + a);
            return false;
        }
    }
    return true;
}

std::string romText(const UnitConfig& c)
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%d.%02d (%s) %s", c.SoftwareMajorRev, c.SoftwareMinorRev,
                  SoftwareLevelName(c.SoftwareLevel), c.timeStampText().c_str());
    return buffer;
}

// The unit's whole configuration, read by the program's own save; the model
// is fresh again once the save's closing sweep has ended.
std::optional<ConfigFileContents> saveUnit(CliSession& session, std::string& error)
{
    auto contents = readUnitConfiguration(session.model(), error);
    if (contents)
        session.waitFor([&] { return !session.link().state().StatusSweepActive; }, 10000);
    return contents;
}

// --- status ------------------------------------------------------------------

int runStatus(CliSession& session, const Args& argsIn)
{
    Args args = argsIn;
    const bool json = takeFlag(args, "--json");
    int status = 0;
    if (!noOptionsLeft(args, "status", status))
        return status;
    if (!args.empty())
        return usage("status", "status takes no arguments");
    const DeviceModel& m = session.model();
    const UnitConfig config = m.unitConfig();
    const UnitStatus s = m.status();
    const bool standby = s.Input == kNoInput && s.Effect == kNoEffect;

    struct Row {
        std::string key;
        std::string value;
        bool text; // always a JSON string
    };
    std::vector<Row> rows = {
        {"product", std::string(ProductName(config.ProductId)) + " " + SoftwareTypeName(config.SoftwareType), true},
        {"rom", romText(config), true},
        {"power", standby ? "standby" : "on", true},
    };
    for (const Control& c : wellKnownControls()) {
        if (c.kind == ControlKind::InputName || c.kind == ControlKind::CustomName)
            continue;
        rows.push_back({c.name, controlText(m, c), c.kind == ControlKind::Input ||
                                                       c.kind == ControlKind::Effect ||
                                                       c.kind == ControlKind::RecordInput ||
                                                       c.kind == ControlKind::Speakers});
    }
    rows.push_back({"stream", std::string(StreamFormatName(s.StreamFormat)) + " " + SampleRateName(s.SampleRate), true});
    rows.push_back({"custom-name", s.customName(), true});
    for (int i = 0; i < kInputCount; ++i)
        rows.push_back({std::string("input-name-") + std::to_string(i + 1), s.inputName(i), true});
    rows.push_back({"display-1", s.displayLine1(), true});
    rows.push_back({"display-2", s.displayLine2(), true});

    if (!json) {
        for (const Row& r : rows)
            out(r.key + ": " + r.value);
        return kExitOk;
    }
    std::string text = "{";
    for (std::size_t i = 0; i < rows.size(); ++i)
        text += (i ? ", " : "") + jsonString(rows[i].key) + ": " +
                (rows[i].text ? jsonString(rows[i].value) : jsonValue(rows[i].value));
    out(text + "}");
    return kExitOk;
}

// --- params --------------------------------------------------------------------

int runParams(CliSession& session, const Args& argsIn)
{
    Args args = argsIn;
    const bool json = takeFlag(args, "--json");
    int status = 0;
    if (!noOptionsLeft(args, "params", status))
        return status;
    if (!args.empty())
        return usage("params", "params takes no arguments");
    std::string error;
    const auto unit = saveUnit(session, error);
    if (!unit)
        return fail(kExitError, error);
    const DeviceModel& m = session.model();
    const DefinitionNames names = DefinitionNames::fromModel(m);
    const auto& values = unit->system.values;

    if (!json) {
        for (std::size_t id = 0; id < values.size(); ++id) {
            char line[96];
            std::snprintf(line, sizeof line, "%3zu  %-21s %4d  max %d", id, names.paramName(static_cast<int>(id)).c_str(),
                          values[id], m.paramDef(static_cast<std::uint8_t>(id)).maximum);
            out(line);
        }
        for (const EffectParamRecord& e : unit->effects) {
            std::string line = "effect " + std::to_string(e.effectId) + " " + names.effectName(e.effectId) + ":";
            for (std::uint8_t v : e.values)
                line += " " + std::to_string(v);
            out(line);
        }
        return kExitOk;
    }
    std::string text = "{\"params\": [";
    for (std::size_t id = 0; id < values.size(); ++id) {
        text += (id ? ", " : "") + std::string("{\"id\": ") + std::to_string(id) +
                ", \"name\": " + jsonString(names.paramName(static_cast<int>(id))) +
                ", \"value\": " + std::to_string(values[id]) +
                ", \"maximum\": " + std::to_string(m.paramDef(static_cast<std::uint8_t>(id)).maximum) + "}";
    }
    text += "], \"effects\": [";
    for (std::size_t i = 0; i < unit->effects.size(); ++i) {
        const EffectParamRecord& e = unit->effects[i];
        text += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(e.effectId) +
                ", \"name\": " + jsonString(names.effectName(e.effectId)) + ", \"params\": [";
        for (std::size_t k = 0; k < e.values.size(); ++k)
            text += (k ? ", " : "") + std::to_string(e.values[k]);
        text += "]}";
    }
    out(text + "]}");
    return kExitOk;
}

// --- get / set -----------------------------------------------------------------

int runGet(CliSession& session, const Args& args)
{
    if (args.empty())
        return usage("get", "get needs at least one name");
    std::vector<Control> controls;
    for (const std::string& name : args) {
        const auto c = findControl(session.model(), name);
        if (!c)
            return fail(kExitError, "unknown name " + name);
        controls.push_back(*c);
    }
    for (const Control& c : controls)
        out(c.name + " " + controlText(session.model(), c));
    return kExitOk;
}

int runSet(CliSession& session, const Args& args)
{
    if (args.empty() || args.size() % 2 != 0)
        return usage("set", "set needs NAME VALUE pairs");
    // Every name is checked before anything is sent.
    std::vector<std::pair<Control, std::string>> pairs;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const auto c = findControl(session.model(), args[i]);
        if (!c)
            return fail(kExitError, "unknown name " + args[i]);
        pairs.emplace_back(*c, args[i + 1]);
    }
    for (const auto& [control, value] : pairs) {
        std::string error;
        const int status = setControl(session, control, value, error);
        if (status != kExitOk)
            return fail(status, control.name + ": " + error);
    }
    // What the unit reports now.
    if (!session.sweep())
        return fail(kExitError, "no answer from the unit to the status read");
    for (const auto& pair : pairs)
        out(pair.first.name + " " + controlText(session.model(), pair.first));
    return kExitOk;
}

// --- watch ---------------------------------------------------------------------

int runWatch(CliSession& session, const Args& argsIn)
{
    Args args = argsIn;
    const bool json = takeFlag(args, "--json");
    std::string seconds;
    bool limited = false;
    std::string error;
    if (!takeOption(args, "--seconds", seconds, limited, error))
        return usage("watch", error);
    int status = 0;
    if (!noOptionsLeft(args, "watch", status))
        return status;
    if (!args.empty())
        return usage("watch", "watch takes no arguments");
    char* end = nullptr;
    const long limit = limited ? std::strtol(seconds.c_str(), &end, 10) : 0;
    if (limited && (end == seconds.c_str() || *end != '\0' || limit < 0 || limit > 86400 * 365))
        return usage("watch", "--seconds takes a whole number of seconds");

    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const DeviceModel& m = session.model();
    const DefinitionNames names = DefinitionNames::fromModel(m);
    session.events().setRecording(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    while (!gInterrupted && (!limited || std::chrono::steady_clock::now() < deadline)) {
        session.waitFor([] { return gInterrupted != 0; }, 50);
        for (const UnitEvent& e : session.events().take()) {
            std::string line;
            switch (e.kind) {
            case UnitEvent::Kind::Param: {
                const std::string name = names.paramName(e.id);
                const std::string value = valueText(unitOfParam(name), e.value);
                line = json ? "{\"event\": \"param\", \"id\": " + std::to_string(e.id) + ", \"name\": " +
                                  jsonString(name) + ", \"value\": " + jsonString(value) +
                                  ", \"raw\": " + std::to_string(e.value) + "}"
                            : "param " + name + " " + value;
                break;
            }
            case UnitEvent::Kind::FrontPanel:
                line = json ? "{\"event\": \"display\", \"line1\": " + jsonString(e.line1) +
                                  ", \"line2\": " + jsonString(e.line2) + "}"
                            : "display \"" + e.line1 + "\" \"" + e.line2 + "\"";
                break;
            case UnitEvent::Kind::Sleep: line = json ? "{\"event\": \"sleep\"}" : "sleep"; break;
            case UnitEvent::Kind::Wakeup: line = json ? "{\"event\": \"wakeup\"}" : "wakeup"; break;
            }
            out(line);
            std::fflush(stdout);
        }
    }
    session.events().setRecording(false);
    return kExitOk;
}

// --- save / restore ------------------------------------------------------------

int runSave(CliSession& session, const Args& args)
{
    if (args.size() != 1)
        return usage("save", "save needs one FILE");
    ConfigFileWriter file(args[0]);
    if (!file.open())
        return fail(kExitError, "Failed to open file! (" + args[0] + ": " + std::strerror(file.error()) + ")");
    session.prompt().setQuiet(true);
    const bool saved = SaveConfiguration(session.model(), file, session.prompt());
    session.prompt().setQuiet(false);
    if (!saved)
        return fail(kExitError, "Failed to save configuration!");
    session.waitFor([&] { return !session.link().state().StatusSweepActive; }, 10000);
    out("saved " + args[0]);
    return kExitOk;
}

int runRestore(CliSession& session, const Args& argsIn)
{
    Args args = argsIn;
    std::string only;
    bool selective = false;
    std::string error;
    if (!takeOption(args, "--only", only, selective, error))
        return usage("restore", error);
    int status = 0;
    if (!noOptionsLeft(args, "restore", status))
        return status;
    if (args.size() != 1)
        return usage("restore", "restore needs one FILE");
    std::vector<std::uint8_t> bytes;
    if (!readFilePrefix(args[0], kRestoreReadLimit, bytes))
        return fail(kExitError, "Failed to open file! (" + args[0] + ")");

    DeviceModel& m = session.model();
    if (!selective) {
        const std::size_t before = session.prompt().texts().size();
        session.prompt().setQuiet(true);
        const bool restored = RestoreConfiguration(m, session.prompt(), bytes.data(), bytes.size());
        session.prompt().setQuiet(false);
        const auto texts = session.prompt().texts();
        if (!restored) {
            const std::string why = texts.size() > before ? texts[before] : "no answer from the unit";
            return fail(kExitError, "Failed to restore configuration! " + why);
        }
        // A restore that went through may still have clamped values; say which.
        for (std::size_t i = before; i < texts.size(); ++i)
            fail(kExitOk, texts[i]);
        session.sweep();
        out("restored " + args[0]);
        return kExitOk;
    }

    std::vector<std::string> words;
    for (std::size_t start = 0; start <= only.size();) {
        const std::size_t comma = std::min(only.find(',', start), only.size());
        if (comma > start)
            words.push_back(only.substr(start, comma - start));
        start = comma + 1;
    }
    RestoreSelection selection;
    if (words.empty() || !selectionFromNames(m, words, selection, error))
        return fail(kExitError, words.empty() ? "--only needs names" : "unknown name " + error + " in --only");
    const bool shown = session.settings().readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;
    int written = 0;
    if (!RestoreSelected(m, bytes.data(), bytes.size(), selection, shown, written, error))
        return fail(kExitError, "Failed to restore configuration! " + error);
    session.sweep();
    out("restored " + std::to_string(written) + " value(s) from " + args[0]);
    return kExitOk;
}

// --- diff ----------------------------------------------------------------------

int runDiff(CliSession& session, const Args& argsIn)
{
    Args args = argsIn;
    const bool force = takeFlag(args, "--force");
    int status = 0;
    if (!noOptionsLeft(args, "diff", status))
        return status;
    if (args.size() != 2)
        return usage("diff", "diff needs two configurations (a file or unit)");

    std::string error;
    const bool withUnit = args[0] == "unit" || args[1] == "unit";
    if (withUnit) {
        const int connected = session.connect(error);
        if (connected != kExitOk)
            return fail(connected, error);
    } else {
        session.openSettings();
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
    for (const ConfigDifference& d : comparison.differences)
        out(differenceLine(d));
    return comparison.differences.empty() ? kExitOk : kExitDifferent;
}

} // namespace

int fail(int status, const std::string& text)
{
    std::fprintf(stderr, "brennmark-cli: %s\n", text.c_str());
    return status;
}

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"status", "status [--json]",
         "Shows product, ROM, power, volume, balances, mute, input and effect, data stream,\n"
         "loudness, bass/treble/tilt, zone 2, record input, output levels, speakers, the\n"
         "custom and input names and the two front-panel lines.\n"
         "  --json   one JSON object\n",
         true, runStatus},
        {"params", "params [--json]",
         "Lists every system parameter (id, name, value, maximum) and every effect with\n"
         "its parameter values, as a save reads them.\n"
         "  --json   one JSON object {\"params\": [...], \"effects\": [...]}\n",
         true, runParams},
        {"get", "get NAME...",
         "Prints each named value in the units the pages show. NAME is a well-known name\n"
         "(see below) or any parameter name of the unit's definitions (e.g. SUB_LOWPASS).\n",
         true, runGet},
        {"set", "set NAME VALUE [NAME VALUE]...",
         "Sets each value with the command its page uses, waits for the unit's\n"
         "confirmation and prints what the unit then reports. Values are in page units:\n"
         "volume in dB (-80 to +12), balances and tone in steps from centre, output\n"
         "levels in dB (half steps), switches on/off, inputs by name, speakers by choice\n"
         "(small-80, large, none, ...). Every name and value is checked before anything\n"
         "is sent; a refusal (DC_NAK) stops at once.\n",
         true, runSet},
        {"watch", "watch [--json] [--seconds N]",
         "Prints the unit's own reports as they come: parameter changes by name,\n"
         "front-panel text, sleep and wake-up; one line each, until interrupted.\n"
         "  --json        one JSON object a line\n"
         "  --seconds N   stop after N seconds\n",
         true, runWatch},
        {"save", "save FILE",
         "Saves the unit's whole configuration to FILE (.lex), replacing it only once\n"
         "the whole configuration was written.\n",
         true, runSave},
        {"restore", "restore FILE [--only NAME,...]",
         "Writes FILE back to a unit of the same identity: names and system parameters.\n"
         "  --only NAME,...   only these: parameter names of the definitions, or the\n"
         "                    groups speakers, levels, names, tone; everything else on\n"
         "                    the unit stays as it is\n",
         true, runRestore},
        {"diff", "diff A B [--force]",
         "Compares two configurations, each a .lex file or the word unit, and prints\n"
         "every difference by name with both values in page units (\"NAME: A -> B\").\n"
         "Exit status 0 when equal, 1 when different. Configurations of different\n"
         "products or ROM timestamps are refused unless --force.\n",
         false, runDiff},
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
        "Usage: brennmark-cli [--port DEVICE | --simulate [--model de1|za2] [--firmware A|B]]\n"
        "                     [--trace FILE] COMMAND [ARGS]...\n"
        "Controls a Ridaziv DE-1 or ZA-2 over its serial line, without windows.\n"
        "\n"
        "Options:\n"
        "  --port DEVICE     this serial device for this run (a path, or tcp://HOST:PORT\n"
        "                    for a serial line behind an IP bridge or ser2net); without it\n"
        "                    the port stored by brennmark (\"CommPort\") is used\n"
        "  --simulate        a simulated unit, in-process\n"
        "  --model de1|za2   the simulated unit's model (default de1)\n"
        "  --firmware A|B    the simulated unit's firmware (default A)\n"
        "  --trace FILE      write the link's trace to FILE, from the first byte\n"
        "  --wait SECONDS    wait up to SECONDS for a port another program holds\n"
        "  --help            this text; COMMAND --help for a command's\n"
        "  --version         the version\n"
        "\nCommands:\n";
    for (const Command& c : commands())
        text += "  " + std::string(c.synopsis) + "\n";
    text += "\nWell-known names for get and set:\n ";
    std::size_t column = 1;
    for (const Control& c : wellKnownControls()) {
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
    return "Usage: brennmark-cli [options] " + std::string(command.synopsis) + "\n" + command.help;
}

} // namespace bm::cli
