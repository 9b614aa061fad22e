// bench-service: brennmarkd against the simulated unit at its 19200-baud wire
// timing. Rows: brennmark-cli get and set through the service (end to end,
// each a fresh process), a change from the unit reaching 8 JSON subscribers
// (from the last byte of the unit's report), and the service idle (CPU and
// resident memory). Each timed row is the median of its runs, whose times it
// also prints, with the goal's verdict.
#include "link/packet.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "sim/sim_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace bm;

constexpr double kByteMs = 11.0 * 1000.0 / 19200.0; // one character on the line
constexpr int kRuns = 5;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string runs(const std::vector<double>& v)
{
    std::ostringstream s;
    for (std::size_t i = 0; i < v.size(); ++i)
        s << (i ? ", " : "") << static_cast<long>(v[i] + 0.5);
    return s.str();
}

void row(const std::string& what, const std::vector<double>& times, double value, const std::string& unit,
         const std::string& goal, bool met)
{
    std::printf("| %s | %s | %.1f %s | %s: %s |\n", what.c_str(), runs(times).c_str(), value, unit.c_str(),
                goal.c_str(), met ? "met" : "missed");
    std::fflush(stdout);
}

pid_t spawn(const std::vector<std::string>& args, bool quiet)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitExit(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int connectUnix(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// utime + stime of a process, in clock ticks.
long long cpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

long rssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int openDescriptors(pid_t pid)
{
    int n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

// A process with its standard output (and error) into `outFile`.
pid_t spawnTo(const std::vector<std::string>& args, const std::string& outFile,
              const std::vector<std::string>& extraEnv = {})
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        envText.emplace_back(*e);
    envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> env;
    for (auto& e : envText)
        env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// One request line to the JSON API and its reply line ("" when none).
std::string askJson(const std::string& socket, const std::string& request)
{
    const int fd = connectUnix(socket);
    if (fd < 0)
        return {};
    std::string reply;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        while (reply.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

// 1,000 clients come and go (JSON clients asking for hello, frame clients
// greeting the unit, clients that connect and leave at once): the service's
// resident memory and open descriptors before and after.
void churnRow(pid_t service, const std::string& socket)
{
    const std::string hello = "{\"op\":\"hello\"}\n";
    const std::uint8_t greeting[] = {0xF1, 0x03, HOST_WAKEUP, 0x00, 0xF2};
    // True when the client was served: its answer came, or it connected.
    auto oneClient = [&](int i) {
        if (i % 3 == 0)
            return askJson(socket, hello).find("\"reply\":\"hello\"") != std::string::npos;
        const int fd = connectUnix(socket);
        if (fd < 0)
            return false;
        bool served = true;
        if (i % 3 == 1) {
            served = ::send(fd, greeting, sizeof greeting, MSG_NOSIGNAL) == sizeof greeting;
            pollfd p{fd, POLLIN, 0};
            served = served && ::poll(&p, 1, 2000) == 1; // the service's answer to the greeting
        }
        ::close(fd);
        return served;
    };
    for (int i = 0; i < 100; ++i) // the allocator's and the service's first growth
        oneClient(i);
    std::this_thread::sleep_for(500ms);
    const long rssBefore = rssKb(service);
    const int fdsBefore = openDescriptors(service);
    const auto t = Clock::now();
    int served = 0;
    for (int i = 0; i < 1000; ++i)
        served += oneClient(i);
    const double ms = msSince(t);
    std::this_thread::sleep_for(500ms);
    const long rssAfter = rssKb(service);
    const int fdsAfter = openDescriptors(service);
    char what[200];
    std::snprintf(what, sizeof what,
                  "1,000 connects and disconnects (%d served, %.0f ms): resident memory %ld -> %ld kB, open "
                  "descriptors %d -> %d",
                  served, ms, rssBefore, rssAfter, fdsBefore, fdsAfter);
    const bool met = served == 1000 && fdsAfter == fdsBefore && rssAfter - rssBefore <= 256;
    row(what, {}, (rssAfter - rssBefore) / 1.0, "kB", "descriptors equal, memory within 256 kB", met);
}

// --- The soak: the panel, two watchers and six clients for SECONDS ---------------

struct SoakClient {
    std::string control;
    std::string values[2];
    int setsDone = 0, changesMade = 0, readsDone = 0, busy = 0, failed = 0;
    std::string firstFailure;
};

// Exit status and standard output of one brennmark-cli call.
int cli(const std::vector<std::string>& args, const std::string& outFile, std::string& out)
{
    std::vector<std::string> all = {BM_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const int rc = waitExit(spawnTo(all, outFile));
    out = slurp(outFile);
    return rc;
}

// Change lines of `control` in a watch's output ("TIME control WAS -> NOW").
int changesSeen(const std::string& watchOutput, const std::string& control)
{
    int n = 0;
    std::istringstream in(watchOutput);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string stamp, name;
        words >> stamp >> name;
        if (name == control && line.find(" -> ") != std::string::npos)
            ++n;
    }
    return n;
}

// Reports of parameter `id` the panel read, from its trace.
int reportsRead(const std::string& trace, int id)
{
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "f1 05 04 02 %02x ", id);
    int n = 0;
    // "READ RING PACKET  CMD=04 (DC_PARAM_CHG_MSG) ..." and on the next line its bytes.
    for (std::size_t at = 0; (at = trace.find("READ RING PACKET  CMD=04", at)) != std::string::npos; ++at) {
        const std::size_t dump = trace.find('\n', at);
        const std::size_t end = dump == std::string::npos ? dump : trace.find('\n', dump + 1);
        const std::size_t hex = dump == std::string::npos ? dump : trace.find(wanted, dump);
        n += hex != std::string::npos && hex < end;
    }
    return n;
}

int paramIdOf(const bm::sim::SimServer& sim, const std::string& name)
{
    const auto names = sim.snapshot().paramNames;
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? -1 : static_cast<int>(at - names.begin());
}

int soak(int seconds, bm::sim::SimServer& sim, const std::string& dir, const std::string& socket)
{
    const std::string port = "unix:" + socket;
    {
        // The panel's settings: the port chosen, no first-start dialog.
        QSettingsStore store(QString::fromStdString(dir + "/config/Tollvane/Brennmark.conf"));
        store.writeInt(keys::kComm, keys::kCommPort, 0);
        store.writeInt(keys::kComm, keys::kDontShow, 1);
    }
    const std::string panelTrace = dir + "/panel-trace.txt";
    const pid_t panel = spawnTo({BM_PANEL_PATH, "--port", port, "--trace", panelTrace}, dir + "/panel-out.txt",
                                {"QT_QPA_PLATFORM=offscreen"});
    std::vector<pid_t> watchers;
    for (int i = 0; i < 2; ++i)
        watchers.push_back(spawnTo({BM_CLI_PATH, "--port", port, "watch"}, dir + "/watch" + std::to_string(i) + ".txt"));
    // Ready: the panel's sheet is up (the Info page asks for the front panel
    // after the greeting did) and each watcher has printed the unit's state.
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
            ++n;
        return n;
    };
    const auto waitStart = Clock::now();
    bool ready = false;
    while (!ready && msSince(waitStart) < 120000) {
        std::this_thread::sleep_for(100ms);
        ready = count(slurp(panelTrace), "(DC_CMD_SET_FPD_CTRL)") >= 2;
        for (int i = 0; i < 2; ++i)
            ready = ready && slurp(dir + "/watch" + std::to_string(i) + ".txt").find(" state ") != std::string::npos;
    }
    std::printf("the panel and two watchers ready after %.0f ms%s\n", msSince(waitStart), ready ? "" : " (NOT ready)");
    std::fflush(stdout);
    const std::size_t definitionRequests = [&] {
        std::size_t n = 0;
        for (const auto& p : sim.receivedPackets())
            n += p.size() > 2 && (p[2] == DC_CMD_GET_SYS_PARAM_BY_ID || p[2] == DC_CMD_GET_EFFECT);
        return n;
    }();

    std::vector<SoakClient> clients = {
        {"volume", {"-40", "-41"}},        {"balance", {"-1", "+1"}},       {"zone2-volume", {"-50", "-51"}},
        {"zone2-balance", {"+2", "+3"}},   {"out-center", {"-1.0", "-1.5"}}, {"out-sub", {"+0.5", "+1.0"}},
    };
    const std::vector<std::string> params = {"VOLUME", "LR_BALANCE", "Z2_VOL", "Z2_BAL", "OUT_ADJ_CENTER", "OUT_ADJ_SUB"};
    const std::uint64_t strictBefore = sim.strictViolations();
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        threads.emplace_back([&, i] {
            SoakClient& c = clients[i];
            const std::string outFile = dir + "/client" + std::to_string(i) + ".txt";
            std::string out, last;
            auto failure = [&](const std::string& what, int rc) {
                if (rc == 4)
                    ++c.busy;
                ++c.failed;
                if (c.firstFailure.empty())
                    c.firstFailure = what + " (status " + std::to_string(rc) + "): " + out;
            };
            int rc = cli({"--port", port, "get", c.control}, outFile, last);
            for (int n = 0; Clock::now() < end; ++n) {
                rc = cli({"--port", port, "set", c.control, c.values[n % 2]}, outFile, out);
                if (rc != 0 || out != c.control + " " + c.values[n % 2] + "\n") {
                    failure("set " + c.control + " " + c.values[n % 2], rc);
                    continue;
                }
                ++c.setsDone;
                c.changesMade += out != last;
                last = out;
                rc = cli({"--port", port, "get", c.control}, outFile, out);
                if (rc != 0 || out != last) {
                    failure("get " + c.control, rc);
                    continue;
                }
                ++c.readsDone;
                // A pause, so that a watcher's pass (50 ms) sees each value.
                std::this_thread::sleep_for(100ms);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    // The last reports reach the watchers and the panel.
    auto allSeen = [&] {
        const std::string w0 = slurp(dir + "/watch0.txt"), w1 = slurp(dir + "/watch1.txt"), trace = slurp(panelTrace);
        for (std::size_t i = 0; i < clients.size(); ++i)
            if (changesSeen(w0, clients[i].control) < clients[i].changesMade ||
                changesSeen(w1, clients[i].control) < clients[i].changesMade ||
                reportsRead(trace, paramIdOf(sim, params[i])) < clients[i].changesMade)
                return false;
        return true;
    };
    for (const auto t = Clock::now(); !allSeen() && msSince(t) < 5000;)
        std::this_thread::sleep_for(100ms);
    for (pid_t w : watchers)
        ::kill(w, SIGINT);
    ::kill(panel, SIGTERM);
    for (pid_t w : watchers)
        waitExit(w);
    const int panelExit = waitExit(panel);

    const std::string w0 = slurp(dir + "/watch0.txt"), w1 = slurp(dir + "/watch1.txt"), trace = slurp(panelTrace);
    int sets = 0, changes = 0, reads = 0, busy = 0, failed = 0;
    bool everyoneSawEvery = true;
    std::printf("\n| Client | Sets acknowledged | Changes | Reads | Busy | Failed | Watcher 1 saw | Watcher 2 saw | Panel read |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const SoakClient& c = clients[i];
        const int seen0 = changesSeen(w0, c.control), seen1 = changesSeen(w1, c.control);
        const int panelSaw = reportsRead(trace, paramIdOf(sim, params[i]));
        std::printf("| %s | %d | %d | %d | %d | %d | %d | %d | %d |\n", c.control.c_str(), c.setsDone, c.changesMade,
                    c.readsDone, c.busy, c.failed, seen0, seen1, panelSaw);
        sets += c.setsDone;
        changes += c.changesMade;
        reads += c.readsDone;
        busy += c.busy;
        failed += c.failed;
        everyoneSawEvery = everyoneSawEvery && seen0 == c.changesMade && seen1 == c.changesMade && panelSaw == c.changesMade;
        if (!c.firstFailure.empty())
            std::printf("  first failure of %s: %s\n", c.control.c_str(), c.firstFailure.c_str());
    }
    std::size_t definitionRequestsAfter = 0;
    for (const auto& p : sim.receivedPackets())
        definitionRequestsAfter += p.size() > 2 && (p[2] == DC_CMD_GET_SYS_PARAM_BY_ID || p[2] == DC_CMD_GET_EFFECT);
    const std::uint64_t strict = sim.strictViolations() - strictBefore;
    std::printf("\n%d s: %d sets acknowledged (%d changes), %d reads, %d busy, %d failed\n", seconds, sets, changes,
                reads, busy, failed);
    std::printf("every watcher (two watch processes and the panel) saw every change: %s\n", everyoneSawEvery ? "yes" : "NO");
    std::printf("requests the unit received before the previous answer was complete (ridaziv-sim --strict): %llu\n",
                static_cast<unsigned long long>(strict));
    std::printf("definition requests the unit received after the panel's start: %zu\n",
                definitionRequestsAfter - definitionRequests);
    std::printf("panel exit status after SIGTERM: %d\n", panelExit);
    const bool met = ready && busy == 0 && failed == 0 && sets > 0 && everyoneSawEvery && strict == 0;
    std::printf("verdict: %s\n", met ? "met" : "missed");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    char templ[] = "/tmp/bench-service-XXXXXX";
    if (!::mkdtemp(templ))
        return 1;
    const std::string dir = templ;
    // The service's and the command line's settings and socket, apart from the user's.
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    ::mkdir((dir + "/config").c_str(), 0700);
    ::mkdir((dir + "/run").c_str(), 0700);
    ::unsetenv("BRENNMARK_PORT");
    const std::string socket = dir + "/run/brennmark/brennmarkd.sock";

    int soakSeconds = 0;
    bm::sim::SimOptions options; // wire timing, the unit's 3 ms before each answer
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        char* end = nullptr;
        const long number = std::strtol(value, &end, 10);
        const bool isNumber = *value != '\0' && *end == '\0';
        if (arg == "--soak" && isNumber && number > 0) {
            soakSeconds = static_cast<int>(number);
            ++i;
        } else if (arg == "--answer-delay" && isNumber && number >= 0 && number <= 500) {
            options.answerDelayMs = static_cast<int>(number);
            ++i;
        } else {
            std::fprintf(stderr, "usage: bench-service [--soak SECONDS] [--answer-delay MS (0..500)]\n");
            return 2;
        }
    }
    options.strict = true; // every request sent while an answer is due is counted
    bm::sim::SimServer sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "bench-service: the simulated unit did not start\n");
        return 1;
    }
    std::printf("bench-service: brennmarkd against the simulated DE-1 at 19200 baud, answering %d ms after each "
                "request (%d runs a row)\n", options.answerDelayMs, kRuns);
    std::printf("starting brennmarkd (its first start downloads the definitions)...\n");
    std::fflush(stdout);
    const auto started = Clock::now();
    const pid_t service = spawn({BM_SERVICE_PATH, "--port", sim.devicePath()}, true);
    // The download is some hundreds of requests, each answered after the unit's delay.
    const double startLimitMs = 60000.0 + 1000.0 * options.answerDelayMs;
    while (::access(socket.c_str(), F_OK) != 0 && msSince(started) < startLimitMs)
        std::this_thread::sleep_for(20ms);
    if (::access(socket.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "bench-service: brennmarkd did not start\n");
        ::kill(service, SIGTERM);
        waitExit(service);
        return 1;
    }
    std::printf("brennmarkd ready after %.0f ms\n\n", msSince(started));
    if (soakSeconds > 0) {
        std::printf("soak: the panel, two watch processes and six clients (brennmark-cli set and get in a loop, "
                    "each its own control) for %d s\n", soakSeconds);
        std::fflush(stdout);
        const int verdict = soak(soakSeconds, sim, dir, socket);
        ::kill(service, SIGTERM);
        std::printf("brennmarkd exit status after SIGTERM: %d\n", waitExit(service));
        sim.stop();
        std::string cleanup = "rm -rf '" + dir + "'";
        [[maybe_unused]] const int r = std::system(cleanup.c_str());
        return verdict;
    }
    std::printf("| Row | Runs (ms) | Median | Goal |\n|---|---|---|---|\n");

    // A first command line through the service fills its own definition cache.
    waitExit(spawn({BM_CLI_PATH, "get", "volume"}, true));

    std::vector<double> gets;
    for (int i = 0; i < kRuns; ++i) {
        const auto t = Clock::now();
        const int rc = waitExit(spawn({BM_CLI_PATH, "get", "volume"}, true));
        gets.push_back(rc == 0 ? msSince(t) : 1e9);
    }
    const double get = median(gets);
    row("brennmark-cli get volume through the service", gets, get, "ms", "<= 30 ms", get <= 30);

    // The set's own exchange on the line: 6 bytes out, the 6-byte
    // acknowledgement back, and the unit's 3 ms before it answers.
    const double setWire = 12 * kByteMs + options.answerDelayMs;
    std::vector<double> sets;
    for (int i = 0; i < kRuns; ++i) {
        // Each set starts on a quiet line: the unit's display text after the
        // last one (47 bytes, some 27 ms) is not this set's time.
        std::this_thread::sleep_for(200ms);
        const auto t = Clock::now();
        const int rc = waitExit(spawn({BM_CLI_PATH, "set", "volume", i % 2 ? "-30" : "-31"}, true));
        sets.push_back(rc == 0 ? msSince(t) : 1e9);
    }
    const double set = median(sets);
    char goal[64];
    std::snprintf(goal, sizeof goal, "<= %.1f ms (wire and answer %.1f + 30)", setWire + 30, setWire);
    row("brennmark-cli set volume through the service", sets, set, "ms", goal, set <= setWire + 30);

    // Eight subscribers; the unit's front panel changes the subwoofer's
    // crossover (a change the display does not show, so the report is the
    // only packet and its last byte is the moment the counter passes it);
    // each subscriber's event is timed from that last byte.
    std::vector<int> subscribers;
    for (int i = 0; i < 8; ++i) {
        const int fd = connectUnix(socket);
        const std::string request = "{\"op\":\"subscribe\"}\n";
        if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) <= 0) {
            std::fprintf(stderr, "bench-service: a subscriber could not connect\n");
            return 1;
        }
        subscribers.push_back(fd);
    }
    std::this_thread::sleep_for(300ms);
    const auto names = sim.snapshot().paramNames;
    const int lowpass = static_cast<int>(std::find(names.begin(), names.end(), "SUB_LOWPASS") - names.begin());
    std::vector<double> delays; // the worst subscriber of each change
    bool everyoneSawEvery = true;
    for (int i = 0; i < kRuns; ++i) {
        std::this_thread::sleep_for(200ms);
        for (int fd : subscribers) { // drop what came before
            char drain[65536];
            while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
        }
        const std::uint64_t before = sim.bytesToHost();
        const int value = 1 + i % 3;
        sim.command("set SUB_LOWPASS " + std::to_string(value));
        // The report is 7 bytes; its last byte is written when the counter passes them.
        Clock::time_point lastByte = Clock::now();
        for (auto start = Clock::now(); msSince(start) < 1000;) {
            if (sim.bytesToHost() >= before + 7) {
                lastByte = Clock::now();
                break;
            }
            std::this_thread::sleep_for(50us);
        }
        const std::string wanted = "\"param\":" + std::to_string(lowpass) + ",\"raw\":" + std::to_string(value);
        double worst = 0;
        for (int fd : subscribers) {
            std::string text;
            bool seen = false;
            while (!seen && msSince(lastByte) < 1000) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 5) <= 0)
                    continue;
                char buffer[4096];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                text.append(buffer, static_cast<std::size_t>(n));
                seen = text.find(wanted) != std::string::npos;
            }
            // Reading the subscribers one after another adds nothing: each
            // event was in its socket when its time is taken at the latest.
            worst = std::max(worst, seen ? msSince(lastByte) : 1e9);
            everyoneSawEvery = everyoneSawEvery && seen;
        }
        delays.push_back(worst);
    }
    const double change = median(delays);
    row("a change from the unit to each of 8 subscribers (the slowest), from its last byte", delays, change, "ms",
        "<= 20 ms", change <= 20 && everyoneSawEvery);
    for (int fd : subscribers)
        ::close(fd);

    // Idle: no client, nothing from the unit.
    std::this_thread::sleep_for(1s);
    const long long t0 = cpuTicks(service);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(20s);
    const long long t1 = cpuTicks(service);
    const double seconds = msSince(idleStart) / 1000.0;
    const double cpu = 100.0 * static_cast<double>(t1 - t0) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
    row("the service idle over 20 s: CPU", {}, cpu, "%", "<= 0.2 %", cpu <= 0.2);
    std::printf("(CPU from /proc: %lld clock ticks of %ld a second in %.1f s)\n", t1 - t0, ::sysconf(_SC_CLK_TCK), seconds);
    const long rss = rssKb(service);
    row("the service idle: resident memory", {}, rss / 1024.0, "MB", "<= 20 MB", rss > 0 && rss <= 20 * 1024);

    churnRow(service, socket);

    ::kill(service, SIGTERM);
    const int rc = waitExit(service);
    std::printf("\nbrennmarkd exit status after SIGTERM: %d\n", rc);
    sim.stop();
    std::string cleanup = "rm -rf '" + dir + "'";
    [[maybe_unused]] const int r = std::system(cleanup.c_str());
    return 0;
}
