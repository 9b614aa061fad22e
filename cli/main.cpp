// brennmark-cli: the control panel's link and device model without windows.
// The whole command line is read and checked before the port is opened: a
// usage error never touches the line. Options (CLI11) go anywhere before
// "--", as "--opt value" or "--opt=value"; short flags may be grouped (-vq).
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/cli_read_plan.h"
#include "cli/cli_service.h"
#include "cli/cli_session.h"
#include "platform/file_access.h"
#include "platform/serial_factory.h"
#include "platform/service_socket.h"
#include "platform/termination.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <string>

using namespace bm::cli;

namespace {

struct GlobalOption {
    const char* name;
    char shortName; // 0: none
    bool takesValue;
};

constexpr GlobalOption kGlobalOptions[] = {
    {"--port", 0, true},     {"--simulate", 0, false}, {"--model", 0, true},   {"--firmware", 0, true},
    {"--trace", 0, true},    {"--json", 0, false},     {"--help", 'h', false}, {"--version", 'V', false},
    {"--verbose", 'v', false}, {"--quiet", 'q', false}, {"--wait", 0, true},
    {"--direct", 0, false},  {"--capture", 0, true},  {"--capture-redact", 0, false},
};

const GlobalOption* globalOption(const std::string& name)
{
    for (const GlobalOption& o : kGlobalOptions)
        if (name == o.name)
            return &o;
    return nullptr;
}

// "-v", "--port": an option. "-25", "-=0.5", "-6.0" are values.
bool looksLikeOption(const std::string& arg)
{
    if (arg.size() < 2 || arg[0] != '-')
        return false;
    if (arg[1] == '-')
        return arg.size() > 2 && std::isalpha(static_cast<unsigned char>(arg[2]));
    return std::isalpha(static_cast<unsigned char>(arg[1]));
}

// Marks a value that starts with '-' ("-=0.5") so that CLI11 takes it as a
// word or an option's value; the mark goes again once it is read.
constexpr char kValueMark = '\x01';

std::string unmarked(std::string text)
{
    if (!text.empty() && text.front() == kValueMark)
        text.erase(0, 1);
    return text;
}

// A command option's description, by any command that has it (the command is
// checked once it is known).
const CommandOption* commandOption(const std::string& name)
{
    for (const Command& c : commands())
        for (const CommandOption& o : c.options)
            if (name == o.name)
                return &o;
    return nullptr;
}

bool acceptsOption(const Command& command, const std::string& name)
{
    for (const CommandOption& o : command.options)
        if (name == o.name)
            return true;
    return false;
}

struct CommandLine {
    std::map<std::string, std::string> globals; // name -> value ("" for flags)
    std::vector<std::pair<std::string, std::string>> commandOptions;
    std::vector<std::string> words; // the command and its arguments
};

// Reads argv with CLI11; false with `error` for an unknown option or a
// missing value. Every command's options are known to the parser, so they
// may stand anywhere; which command takes which is checked once the command
// is known. "-25", "-=0.5", "-6.0" are values, not options.
bool readCommandLine(int argc, char** argv, CommandLine& line, std::string& error)
{
    CLI::App app("brennmark-cli", "brennmark-cli");
    app.set_help_flag(); // help is the program's or the command's own text
    app.allow_extras(false);
    app.add_option("words", line.words);
    std::vector<std::pair<std::string, CLI::Option*>> options;
    auto add = [&](const std::string& name, char shortName, bool takesValue) {
        const std::string names = shortName ? std::string("-") + shortName + "," + name : name;
        CLI::Option* o = takesValue ? app.add_option(names)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                                    : app.add_flag(names)->disable_flag_override();
        options.emplace_back(name, o);
    };
    for (const GlobalOption& o : kGlobalOptions)
        add(o.name, o.shortName, o.takesValue);
    for (const Command& c : commands())
        for (const CommandOption& o : c.options)
            if (!globalOption(o.name) && commandOption(o.name) == &o)
                add(o.name, 0, o.takesValue);
    std::vector<std::string> args;
    bool optionsEnded = false;
    for (int i = argc - 1; i >= 1; --i) // CLI11 takes them last first
        args.emplace_back(argv[i]);
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        optionsEnded = optionsEnded || *it == "--";
        if (!optionsEnded && !it->empty() && it->front() == '-' && *it != "--" && !looksLikeOption(*it))
            it->insert(it->begin(), kValueMark);
    }
    bool parsed = true;
    try {
        app.parse(args);
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extras = app.remaining();
        error = "unknown option " + (extras.empty() ? std::string("?") : extras.front());
        parsed = false;
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        error = what.substr(0, what.find(':')) + " needs a value";
        parsed = false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        parsed = false;
    }
    // In the order given; what was read before an error counts (--json).
    for (const CLI::Option* given : app.parse_order()) {
        for (const auto& [name, o] : options) {
            if (o != given)
                continue;
            const std::vector<std::string>& results = o->results();
            const std::string value = o->get_expected_min() > 0 && !results.empty() ? unmarked(results.back()) : "";
            if (globalOption(name))
                line.globals[name] = value;
            else
                line.commandOptions.emplace_back(name, value);
        }
    }
    for (std::string& word : line.words)
        word = unmarked(word);
    return parsed;
}

// A SIGTERM or SIGINT while a command runs ends the process as the second
// one ends watch: a save's temporary file is removed, and a unit that was
// greeted gets the goodbye (front-panel reports off, HOST_SLEEP) within a
// bounded time. The session is forgotten before it ends.
class SignalGoodbye {
public:
    explicit SignalGoodbye(CliSession& session) : session_(&session) {}
    void say()
    {
        bm::files::removeTemporaryFilesOnSignal();
        std::lock_guard lock(mutex_);
        if (session_)
            session_->goodbyeOnSignal();
    }
    void forget()
    {
        std::lock_guard lock(mutex_);
        session_ = nullptr;
    }

private:
    std::mutex mutex_;
    CliSession* session_;
};

// The goodbye's own limit is 2 s once HOST_SLEEP is queued.
constexpr int kSignalGoodbyeMs = 2500;

} // namespace

int runCommandLine(int argc, char** argv)
{
    CommandLine line;
    std::string error;
    const bool read = readCommandLine(argc, argv, line, error);
    // --json holds for the errors of the command line itself too.
    setOutputMode(line.globals.count("--json") != 0, line.globals.count("--quiet") != 0);
    if (!read)
        return fail(kExitError, error + " (see brennmark-cli --help)");

    const Command* command = line.words.empty() ? nullptr : findCommand(line.words[0]);
    if (line.globals.count("--help")) {
        std::fputs((command ? commandHelp(*command) : programHelp()).c_str(), stdout);
        return kExitOk;
    }
    if (line.globals.count("--version")) {
        std::puts("brennmark-cli 1.02");
        return kExitOk;
    }

    CliOptions options;
    const auto global = [&](const char* name) -> const std::string* {
        const auto it = line.globals.find(name);
        return it == line.globals.end() ? nullptr : &it->second;
    };
    options.simulate = global("--simulate") != nullptr;
    options.verbose = global("--verbose") != nullptr;
    options.quiet = global("--quiet") != nullptr;
    if (const std::string* port = global("--port")) {
        if (port->empty())
            return fail(kExitError, "--port needs a device");
        options.port = *port;
    } else if (const char* env = std::getenv("BRENNMARK_PORT"); env && *env && !options.simulate) {
        options.port = env;
    }
    // brennmarkd owns the unit while it runs: with no device named, go
    // through its socket (--direct opens the stored port as before).
    if (options.port.empty() && !options.simulate && !global("--direct") && bm::serviceSocketExists())
        options.port = bm::kServiceDevice;
    if (!options.port.empty() && !bm::checkDeviceName(options.port, error))
        return fail(kExitError, error);
    if (const std::string* wait = global("--wait")) {
        char* end = nullptr;
        const long n = std::strtol(wait->c_str(), &end, 10);
        if (wait->empty() || *end != '\0' || n < 0 || n > 86400)
            return fail(kExitError, "--wait needs a whole number of seconds (0 to 86400)");
        options.waitSeconds = static_cast<int>(n);
    }
    if (const std::string* trace = global("--trace")) {
        if (trace->empty())
            return fail(kExitError, "--trace needs a file");
        options.traceFile = *trace;
    }
    if (const std::string* capture = global("--capture")) {
        if (capture->empty())
            return fail(kExitError, "--capture needs a file");
        options.captureFile = *capture;
        options.captureRedact = global("--capture-redact") != nullptr;
        // The command in the header, unless names must not show.
        for (std::size_t w = 0; w < line.words.size() && !options.captureRedact; ++w)
            options.captureCommand += (w ? " " : "") + line.words[w];
    } else if (global("--capture-redact")) {
        return fail(kExitError, "--capture-redact goes with --capture FILE");
    }
    const bool modelGiven = global("--model") || global("--firmware");
    if (const std::string* model = global("--model"))
        options.model = *model;
    if (const std::string* firmware = global("--firmware"))
        options.firmware = *firmware;
    if (options.simulate && global("--port"))
        return fail(kExitError, "--port and --simulate exclude each other");
    if (modelGiven && !options.simulate)
        return fail(kExitError, "--model and --firmware choose the simulated unit; add --simulate");
    if (options.simulate && !(options.model == "de1" || options.model == "DE1" || options.model == "za2" ||
                              options.model == "ZA2"))
        return fail(kExitError, "--model takes de1 or za2");
    if (options.simulate && !(options.firmware == "A" || options.firmware == "a" || options.firmware == "B" ||
                              options.firmware == "b"))
        return fail(kExitError, "--firmware takes A or B");
    if (line.words.empty())
        return fail(kExitError, "no command (see brennmark-cli --help)");
    if (!command)
        return fail(kExitError, "unknown command " + line.words[0] + " (see brennmark-cli --help)");

    Invocation invocation;
    invocation.args.assign(line.words.begin() + 1, line.words.end());
    invocation.json = global("--json") != nullptr;
    for (const auto& [name, value] : line.commandOptions) {
        if (!acceptsOption(*command, name))
            return fail(kExitError, std::string(command->name) + " takes no option " + name +
                                        " (see brennmark-cli " + command->name + " --help)");
        invocation.flags.insert(name);
        invocation.values[name] = value;
    }

    options.sweepParts = sweepPartsFor(command->name, invocation.args);
    CliSession session(options);
    const auto goodbye = std::make_shared<SignalGoodbye>(session);
    struct ForgetFirst {
        std::shared_ptr<SignalGoodbye> goodbye;
        ~ForgetFirst() { goodbye->forget(); }
    } forgetFirst{goodbye};
    bm::setLastWords([goodbye] { goodbye->say(); }, kSignalGoodbyeMs);
    bm::installTerminationSignals(nullptr);
    // Everything is checked before the port is opened.
    session.openSettings();
    if (const int checked = command->check(session, invocation); checked != kExitOk)
        return checked;
    // Through brennmarkd, a value is one request to the service, which holds
    // the unit's values current.
    if (usesServiceApi(command->name, options)) {
        const int status = runThroughServiceApi(command->name, invocation, options);
        std::fflush(stdout);
        return status;
    }
    if (command->needs == Needs::Unit) {
        const int status = session.connect(error);
        // Whatever answered without a configuration of a DE-1 or ZA-2 (noise,
        // another device) is no unit, however far its answers took the sweep.
        if (session.connected() && !session.link().state().UnitConfirmed) {
            session.stopSending(); // and no goodbye: it is no unit
            // A refusal is an answer of the unit's protocol: the unit is
            // there and said no to being read.
            if (session.prompt().refusalSeen())
                return fail(kExitError, "the unit on " + bm::chosenSerialDevice(session.settings(), options.port) +
                                            " refused to be read (DC_NAK)");
            return fail(kExitNoUnit, "Ridaziv DE-1 or ZA-2 was not detected on " +
                                         bm::chosenSerialDevice(session.settings(), options.port) +
                                         ": it answered, but never identified itself as one");
        }
        if (status != kExitOk)
            return fail(status, error);
    }
    const int status = command->run(session, invocation);
    std::fflush(stdout);
    // The session's close follows: its goodbye, then the link's end, which a
    // lost line may hold up. A signal now (watch's second) ends the program
    // at once, once the goodbye has had its time.
    const auto goodbyeSent = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    bm::setLastWords([goodbyeSent] { std::this_thread::sleep_until(goodbyeSent); }, 200);
    bm::installTerminationSignals(nullptr);
    return status;
}

int main(int argc, char** argv)
{
    return finishOutput(runCommandLine(argc, argv));
}
