// bench-service: brennmarkd against the simulated unit at its 19200-baud wire
// timing. Rows: brennmark-cli get and set through the service (end to end,
// each a fresh process), a change from the unit reaching 8 JSON subscribers
// (from the last byte of the unit's report), and the service idle (CPU and
// resident memory). Each timed row is the median of its runs, whose times it
// also prints, with the goal's verdict.
#include "link/packet.h"
#include "sim/sim_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

    bm::sim::SimOptions options; // wire timing, the unit's 3 ms before each answer
    bm::sim::SimServer sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "bench-service: the simulated unit did not start\n");
        return 1;
    }
    std::printf("bench-service: brennmarkd against the simulated DE-1 at 19200 baud (%d runs a row)\n", kRuns);
    std::printf("starting brennmarkd (its first start downloads the definitions)...\n");
    std::fflush(stdout);
    const auto started = Clock::now();
    const pid_t service = spawn({BM_SERVICE_PATH, "--port", sim.devicePath()}, true);
    while (::access(socket.c_str(), F_OK) != 0 && msSince(started) < 60000)
        std::this_thread::sleep_for(20ms);
    if (::access(socket.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "bench-service: brennmarkd did not start\n");
        ::kill(service, SIGTERM);
        waitExit(service);
        return 1;
    }
    std::printf("brennmarkd ready after %.0f ms\n\n", msSince(started));
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

    ::kill(service, SIGTERM);
    const int rc = waitExit(service);
    std::printf("\nbrennmarkd exit status after SIGTERM: %d\n", rc);
    sim.stop();
    std::string cleanup = "rm -rf '" + dir + "'";
    [[maybe_unused]] const int r = std::system(cleanup.c_str());
    (void)argc;
    (void)argv;
    return 0;
}
