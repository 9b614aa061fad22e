// ridaziv-sim: a simulated Ridaziv DE-1 or ZA-2 on a pseudo-terminal (on a
// loopback TCP port on Windows). Prints the device the program opens first,
// takes console lines on standard input as the unit's front panel and remote,
// and serves until SIGINT or SIGTERM (Ctrl+C or the console closing on Windows).
#include "sim/replay_main.h"
#include "sim/sim_server.h"
#include "sim/tcp_server.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

const char* const kUsage =
    "Usage: ridaziv-sim [options]\n"
    "Simulates a Ridaziv DE-1 or ZA-2 processor on a pseudo-terminal. The first\n"
    "line on standard output is the terminal's device path; lines typed on\n"
    "standard input act on the unit (type help). Serves until SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH        make PATH a symbolic link to the terminal (removed on exit)\n"
    "  --model de1|za2    unit model (default de1)\n"
    "  --firmware A|B     firmware: ROM timestamp and parameter layout (default A)\n"
    "  --fast             no 19200-baud wire timing\n"
    "  --answer-delay MS  the unit's processing time before each answer (default 3)\n"
    "  --effects N        a unit with N effects (more than the firmware's own)\n"
    "  --params N         a unit with N system parameters (up to 254)\n"
    "  --wake-busy MS     waking from sleep takes MS ms (default 1500; 0 with --fast):\n"
    "                     commands are read and left unanswered meanwhile, and\n"
    "                     DC_WAKEUP goes out once the unit is ready; -1: never ready\n"
    "Variety of real units:\n"
    "  --changes-only     keys that change nothing report nothing\n"
    "  --refuse-long-names  names longer than their field refused (DC_INVALID_NAME)\n"
    "  --full-width-names names sent blank-padded to their whole field, no NUL\n"
    "  --strict           report on standard error any request that arrives while an\n"
    "                     answer is still due; exit status 1 at the end if any did\n"
#ifdef _WIN32
    "  --tcp HOST:PORT    serve the line on this loopback address (default\n"
    "                     127.0.0.1:0, a free port); Windows has no pseudo-\n"
    "                     terminals, so the first line is always the unit's\n"
    "                     tcp:// address (and with --tcp the second as well)\n"
#else
    "  --tcp HOST:PORT    also serve the line on TCP, as ser2net does (loopback\n"
    "                     only; port 0 picks one); its tcp:// address is the\n"
    "                     second line on standard output\n"
#endif
    "Faults:\n"
    "  --silent           read everything, answer nothing\n"
    "  --nak CODE         refuse command CODE (e.g. 0x1E) with DC_NAK\n"
    "  --nak-error CODE   error code of that refusal (default 0x12 DC_INVALID_DATA)\n"
    "  --noise            noise bytes between packets\n"
    "  --split            every packet written in two parts\n"
    "  --no-wakeup        no DC_WAKEUP after new parameter values\n"
    "  --drop-after N     hang up the line after N packets from the host\n"
    "Replay:\n"
    "  --replay FILE      play the unit of a capture (brennmark --capture): each\n"
    "                     request answered as recorded; exit status 1 with the\n"
    "                     first request that differs from the recording\n"
    "  --replay-loose     answer by request code instead, in any order\n"
    "  --import FILE      write a capture of another tool (socat -x, a Sent:/Recv:\n"
    "                     text, a jpnevulator dump) as a capture to standard output\n"
    "Other:\n"
    "  -v, --verbose      say on standard error what is served, and where\n"
    "  -V, --version      the version\n"
    "  -h, --help         this text\n";

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < -1 || v > 0x7FFFFFFF)
        return false;
    value = static_cast<int>(v);
    return true;
}

// A number option's value within lo..hi, into `into`; false for anything else.
bool numberArg(const char* text, int lo, int hi, int& into)
{
    int n = 0;
    if (!text || !parseInt(text, n) || n < lo || n > hi)
        return false;
    into = n;
    return true;
}

// Options that only switch something on.
using Switch = bool bm::sim::SimOptions::*;
std::optional<Switch> switchOf(const std::string& arg)
{
    static const std::pair<const char*, Switch> kSwitches[] = {
        {"--fast", &bm::sim::SimOptions::fast},
        {"--silent", &bm::sim::SimOptions::silent},
        {"--noise", &bm::sim::SimOptions::noise},
        {"--split", &bm::sim::SimOptions::splitPackets},
        {"--no-wakeup", &bm::sim::SimOptions::noWakeupAfterParamWrite},
        {"--changes-only", &bm::sim::SimOptions::reportChangesOnly},
        {"--refuse-long-names", &bm::sim::SimOptions::refuseLongNames},
        {"--full-width-names", &bm::sim::SimOptions::fullWidthNames},
        {"--strict", &bm::sim::SimOptions::strict},
    };
    for (const auto& [name, member] : kSwitches)
        if (arg == name)
            return member;
    return std::nullopt;
}

int usageError(const std::string& what)
{
    std::fprintf(stderr, "ridaziv-sim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

// One console line: help, or a command for the unit.
void consoleLine(bm::sim::SimServer& server, std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const auto first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line.compare(first, 4, "help") == 0) {
        std::cout << bm::sim::SimServer::consoleHelp() << std::flush;
        return;
    }
    std::string error;
    if (!server.command(line, &error))
        std::cerr << "error: " << error << std::endl;
}

#ifdef _WIN32
// Reads console lines until the input ends. A console read cannot be waited
// on beside a stop flag, so this thread is left blocked in it at exit; it
// acts on a line only while the unit is still served.
void consoleLoop(bm::sim::SimServer& server, const std::atomic<bool>& stop)
{
    std::string line;
    while (std::getline(std::cin, line)) {
        if (stop)
            return;
        consoleLine(server, line);
    }
}

// Ctrl+C, Ctrl+Break and the console closing end the program as SIGINT does.
HANDLE gStopEvent = nullptr;
BOOL WINAPI onConsoleControl(DWORD)
{
    ::SetEvent(gStopEvent);
    return TRUE;
}
#else
// Reads console lines until `stop` is set or the input ends.
void consoleLoop(bm::sim::SimServer& server, const std::atomic<bool>& stop)
{
    std::string pending;
    char buffer[256];
    while (!stop) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // End of input only ends the reading; a last line without its newline
        // still counts.
        const bool ended = n <= 0;
        if (!ended)
            pending.append(buffer, static_cast<std::size_t>(n));
        else if (!pending.empty())
            pending += '\n';
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            consoleLine(server, pending.substr(0, eol));
            pending.erase(0, eol + 1);
        }
        if (ended)
            return; // keep serving
    }
}
#endif

} // namespace

int main(int argc, char** argv)
{
    bm::sim::SimOptions options;
    std::string tcpAddress;
    std::string replayFile;
    bool replayLoose = false;
    bool verbose = false;

    // CLI11 reads the command line; each value is checked below, in the
    // order of the usage text, with its own message.
    CLI::App app("ridaziv-sim", "ridaziv-sim");
    app.set_help_flag();
    bool help = false, version = false;
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);
    app.add_flag("-v,--verbose", verbose);
    std::map<std::string, std::string> values;
    for (const char* name : {"--link", "--model", "--firmware", "--answer-delay", "--effects", "--params", "--tcp",
                             "--nak", "--nak-error", "--drop-after", "--replay", "--import", "--wake-busy"})
        app.add_option(name, values[name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    for (const char* name : {"--fast", "--silent", "--noise", "--split", "--no-wakeup", "--changes-only",
                             "--refuse-long-names", "--full-width-names", "--strict"})
        app.add_flag(name, options.*(*switchOf(name)));
    app.add_flag("--replay-loose", replayLoose);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError&) {
        const auto extras = app.remaining();
        return usageError("unknown option " + (extras.empty() ? std::string("?") : extras.front()));
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        return usageError(what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (version) {
        std::puts("ridaziv-sim 1.02");
        return 0;
    }
    const auto given = [&](const char* name) { return app.get_option(name)->count() > 0; };
    const auto text = [&](const char* name) { return values[name].c_str(); };
    if (given("--link")) {
#ifdef _WIN32
        return usageError("--link: Windows has no pseudo-terminals; the unit is served on --tcp");
#endif
        options.linkPath = values["--link"];
    }
    if (given("--model")) {
        const std::string m = values["--model"];
        if (m == "de1" || m == "DE1")
            options.model = bm::sim::Model::DE1;
        else if (m == "za2" || m == "ZA2")
            options.model = bm::sim::Model::ZA2;
        else
            return usageError("--model takes de1 or za2");
    }
    if (given("--firmware")) {
        const std::string f = values["--firmware"];
        if (f == "A" || f == "a")
            options.firmware = bm::sim::Firmware::A;
        else if (f == "B" || f == "b")
            options.firmware = bm::sim::Firmware::B;
        else
            return usageError("--firmware takes A or B");
    }
    if (given("--answer-delay") && !numberArg(text("--answer-delay"), 0, 500, options.answerDelayMs))
        return usageError("--answer-delay takes milliseconds 0..500");
    for (const char* name : {"--effects", "--params"})
        if (given(name) && !numberArg(text(name), 1, 254,
                                      std::string(name) == "--effects" ? options.effectCount : options.paramCount))
            return usageError(std::string(name) + " takes a count 1..254");
    if (given("--tcp")) {
        std::string host, error;
        int port = 0;
        if (!bm::sim::parseLoopbackAddress(values["--tcp"], host, port, error))
            return usageError("--tcp: " + error);
        tcpAddress = values["--tcp"];
    }
    for (const char* name : {"--nak", "--nak-error"})
        if (given(name) && !numberArg(text(name), 0, 0xFF,
                                      std::string(name) == "--nak" ? options.nakCommand : options.nakError))
            return usageError(std::string(name) + " takes a code 0..0xFF");
    std::optional<int> wakeBusy;
    if (given("--wake-busy")) {
        int ms = 0;
        if (!numberArg(text("--wake-busy"), -1, 60000, ms))
            return usageError("--wake-busy takes milliseconds 0..60000, or -1 for never");
        wakeBusy = ms;
    }
    if (given("--drop-after") && !numberArg(text("--drop-after"), 0, 0x7FFFFFFF, options.dropAfterPackets))
        return usageError("--drop-after takes a packet count");
    if (given("--import"))
        return bm::sim::runImport(values["--import"]);
    if (given("--replay"))
        replayFile = values["--replay"];

    // A real processor takes its time to wake; a fast unit only when asked.
    options.wakeBusyMs = wakeBusy.value_or(options.fast ? 0 : 1500);
    if (replayLoose && replayFile.empty())
        return usageError("--replay-loose goes with --replay FILE");
    if (!replayFile.empty())
        return bm::sim::runReplay(replayFile, replayLoose, options.linkPath, tcpAddress);

#ifdef _WIN32
    options.listenAddress = tcpAddress;
    gStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    bm::sim::SimServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "ridaziv-sim: cannot serve the line: %s\n", server.startError().c_str());
        return 1;
    }
    std::cout << server.devicePath() << std::endl;
    if (verbose)
        std::fprintf(stderr, "ridaziv-sim: %s, firmware %s, on %s%s\n",
                     options.model == bm::sim::Model::ZA2 ? "ZA-2" : "DE-1",
                     options.firmware == bm::sim::Firmware::B ? "B" : "A", server.devicePath().c_str(),
                     options.fast ? ", without wire timing" : "");
    if (!tcpAddress.empty())
        std::cout << server.devicePath() << std::endl;

    std::atomic<bool> stop{false};
    std::thread(consoleLoop, std::ref(server), std::cref(stop)).detach();
    ::WaitForSingleObject(gStopEvent, INFINITE);
    stop = true;
    server.stop();
    const auto early = server.strictViolations();
    if (early > 0)
        std::fprintf(stderr, "ridaziv-sim: strict: %llu request(s) arrived while an answer was still due\n",
                     static_cast<unsigned long long>(early));
    std::fflush(stdout);
    std::fflush(stderr);
    // The console thread may still be blocked in its read: end the process
    // without waiting for it.
    std::_Exit(early > 0 ? 1 : 0);
#else
    // The signals are taken by sigwait below, not by handlers on random threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    bm::sim::SimServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "ridaziv-sim: cannot open a pseudo-terminal%s%s: %s\n",
                     options.linkPath.empty() ? "" : " or link ", options.linkPath.c_str(),
                     server.startError().c_str());
        return 1;
    }
    std::cout << server.terminalPath() << std::endl;
    if (verbose)
        std::fprintf(stderr, "ridaziv-sim: %s, firmware %s, on %s%s\n",
                     options.model == bm::sim::Model::ZA2 ? "ZA-2" : "DE-1",
                     options.firmware == bm::sim::Firmware::B ? "B" : "A", server.terminalPath().c_str(),
                     options.fast ? ", without wire timing" : "");
    std::unique_ptr<bm::sim::TcpServer> tcp;
    if (!tcpAddress.empty()) {
        tcp = std::make_unique<bm::sim::TcpServer>(server.terminalPath());
        std::string error;
        if (!tcp->start(tcpAddress, error)) {
            std::fprintf(stderr, "ridaziv-sim: %s\n", error.c_str());
            return 1;
        }
        std::cout << tcp->url() << std::endl;
    }

    std::atomic<bool> stop{false};
    std::thread console([&] { consoleLoop(server, stop); });

    int received = 0;
    sigwait(&signals, &received);

    stop = true;
    console.join();
    if (tcp)
        tcp->stop();
    server.stop();
    if (const auto early = server.strictViolations(); early > 0) {
        std::fprintf(stderr, "ridaziv-sim: strict: %llu request(s) arrived while an answer was still due\n",
                     static_cast<unsigned long long>(early));
        return 1;
    }
    return 0;
#endif
}
