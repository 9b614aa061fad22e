// brennmark-cli: the control panel's link and device model without windows.
// Global options come before the command; each command takes its own.
#include "cli/cli_commands.h"
#include "cli/cli_session.h"
#include "platform/serial_factory.h"
#include "platform/termination.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <string>

using namespace bm::cli;

int main(int argc, char** argv)
{
    CliOptions options;
    int i = 1;
    bool modelGiven = false;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(programHelp().c_str(), stdout);
            return kExitOk;
        }
        if (arg == "--version" || arg == "-v") {
            std::puts("brennmark-cli 1.02");
            return kExitOk;
        }
        if (arg == "--port") {
            if (!value(options.port) || options.port.empty())
                return fail(kExitError, "--port needs a device");
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--model") {
            if (!value(options.model))
                return fail(kExitError, "--model needs de1 or za2");
            modelGiven = true;
        } else if (arg == "--firmware") {
            if (!value(options.firmware))
                return fail(kExitError, "--firmware needs A or B");
            modelGiven = true;
        } else if (arg == "--trace") {
            if (!value(options.traceFile) || options.traceFile.empty())
                return fail(kExitError, "--trace needs a file");
        } else if (arg.rfind("-", 0) == 0) {
            return fail(kExitError, "unknown option " + arg + " (see brennmark-cli --help)");
        } else {
            break;
        }
    }
    if (options.simulate && !options.port.empty())
        return fail(kExitError, "--port and --simulate exclude each other");
    if (modelGiven && !options.simulate)
        return fail(kExitError, "--model and --firmware choose the simulated unit; add --simulate");
    if (i >= argc)
        return fail(kExitError, "no command (see brennmark-cli --help)");

    const Command* command = findCommand(argv[i]);
    if (!command)
        return fail(kExitError, std::string("unknown command ") + argv[i] + " (see brennmark-cli --help)");
    Args args(argv + i + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(commandHelp(*command).c_str(), stdout);
            return kExitOk;
        }
    }

    CliSession session(options);
    if (command->needsUnit) {
        std::string error;
        const int status = session.connect(error);
        // Whatever answered without a configuration of a DE-1 or ZA-2 (noise,
        // another device) is no unit, however far its answers took the sweep.
        if (session.connected() && !session.link().state().UnitConfirmed) {
            session.stopSending(); // and no goodbye: it is no unit
            return fail(kExitNoUnit, "Ridaziv DE-1 or ZA-2 was not detected on " +
                                         bm::chosenSerialDevice(session.settings(), options.port) +
                                         ": it answered, but never identified itself as one");
        }
        if (status != kExitOk)
            return fail(status, error);
    }
    const int status = command->run(session, args);
    std::fflush(stdout);
    // The session's close follows: its goodbye, then the link's end, which a
    // lost line may hold up. A signal now (watch's second) ends the program
    // at once, once the goodbye has had its time.
    const auto goodbyeSent = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    bm::setLastWords([goodbyeSent] { std::this_thread::sleep_until(goodbyeSent); }, 200);
    bm::installTerminationSignals(nullptr);
    return status;
}
