// brennmark: the control panel for the Ridaziv DE-1 and ZA-2.
#include "app/tk7_app.h"

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct CommandLine {
    bool help = false;
    bool version = false;
    bool verbose = false;
    std::string port, trace, capture, shots;
    bool simulate = false;
    bool captureRedact = false;
};

// The panel's options (CLI11). QApplication's own (-platform, -style, ...)
// are taken out of argv before the second reading; the first one only looks
// for --help and --version, which are answered before the window system is
// touched, so that they work without a display.
void describe(CLI::App& app, CommandLine& line)
{
    app.set_help_flag();
    app.add_flag("-h,--help", line.help, "Displays help on commandline options.");
    app.add_flag("-V,--version", line.version, "Displays version information.");
    app.add_flag("-v,--verbose", line.verbose, "Qt's and the program's debug messages on standard error.");
    app.add_option("--port", line.port,
                   "Use serial device <device> for this run (e.g. /dev/ttyUSB0, tcp://HOST:PORT for a serial line "
                   "behind an IP bridge or ser2net's raw port, or rfc2217://HOST:PORT behind an RFC 2217 server).")
        ->type_name("<device>");
    app.add_flag("--simulate", line.simulate,
                 "Run a simulated unit in-process on a pseudo-terminal and connect to it; console lines on standard "
                 "input go to the unit.");
    app.add_option("--trace", line.trace, "Write the link's trace to <file>.")->type_name("<file>");
    app.add_option("--capture", line.capture,
                   "Write every byte on the line to <file> as a capture that ridaziv-sim --replay plays back (JSON "
                   "Lines; gzip when <file> ends in .gz).")
        ->type_name("<file>");
    for (CLI::Option* o : app.get_options())
        o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); // the last one given counts
    app.add_flag("--capture-redact", line.captureRedact, "Leave the unit's names and the port out of the capture.");
    app.add_option("--screenshot-dir", line.shots, "Save a picture of every page and dialog in <dir>, then exit.")
        ->type_name("<dir>");
}

const char* const kDescription = "Control panel for the Ridaziv DE-1 and ZA-2 over their serial port.";

} // namespace

int main(int argc, char** argv)
{
    {
        CLI::App first(kDescription, "brennmark");
        CommandLine line;
        describe(first, line);
        first.allow_extras(true);
        try {
            first.parse(argc, argv);
        } catch (const CLI::ParseError&) {
            // Reported by the second reading, once Qt's own options are out.
        }
        if (line.help) {
            std::fputs(first.help().c_str(), stdout);
            return 0;
        }
        if (line.version) {
            std::puts("Brennmark 1.02");
            return 0;
        }
    }

    // QApplication takes its own options (-platform, -style, ...) out first.
    QApplication qtApp(argc, argv);
    CLI::App app(kDescription, "brennmark");
    CommandLine line;
    describe(app, line);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const std::vector<std::string> extras = app.remaining();
        const std::string what = dynamic_cast<const CLI::ExtrasError*>(&e) && !extras.empty()
                                     ? "unknown option " + extras.front()
                                     : e.what();
        std::fprintf(stderr, "brennmark: %s (see brennmark --help)\n", what.c_str());
        return 2;
    }
    if (line.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    bm::AppOptions options;
    options.port = QString::fromLocal8Bit(line.port.c_str());
    options.simulate = line.simulate;
    options.traceFile = QString::fromLocal8Bit(line.trace.c_str());
    options.captureFile = QString::fromLocal8Bit(line.capture.c_str());
    options.captureRedact = line.captureRedact;
    options.screenshotDir = QString::fromLocal8Bit(line.shots.c_str());

    bm::CTK7App theApp(options);
    if (!theApp.InitInstance())
        return 1;
    return theApp.Run();
}
