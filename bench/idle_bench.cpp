// The cost of a line that is gone: the link's processor time while the unit's
// line is lost (the port reopened once a reconnection interval, nothing found),
// as a share of the wall-clock time, over several seconds. A reader or writer
// that spins shows as a share near 1 (a whole core); one that sleeps as a few
// thousandths. The tests only check that the port is not asked in a loop; the
// figure itself is measured here, on a machine left alone.
//   bench-idle [SECONDS]   (default 5)
#include "link/quor_control.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The link's share of a core while the line is lost: at most this.
constexpr double kGoal = 0.05;

double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace bm;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench-idle [SECONDS]\n");
        return 2;
    }
    char folderTemplate[] = "/tmp/bench-idle-XXXXXX";
    const char* folder = ::mkdtemp(folderTemplate);
    if (!folder) {
        std::perror("bench-idle: mkdtemp");
        return 1;
    }
    const std::string device = std::string(folder) + "/ttyRidaziv";

    sim::SimOptions options;
    options.fast = true;
    options.linkPath = device;
    options.dropAfterPackets = 3; // the greeting is answered, the sweep's first request is not
    sim::SimServer unit(options);
    if (!unit.start()) {
        std::fprintf(stderr, "bench-idle: %s\n", unit.startError().c_str());
        return 1;
    }
    ManualOwnerWindow owner;
    InMemorySettings settings;
    ScriptedPrompt prompt;
    TermiosSerialPort serial(settings, device);
    auto link = std::make_unique<CQuorControl>(CQuorControl::Environment{owner, settings, prompt, serial}, 1, false,
                                               nullptr);
    const auto lostBy = Clock::now() + std::chrono::seconds(5);
    while (link->line() != LineState::Lost && Clock::now() < lostBy) {
        owner.dispatch();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    unit.stop(); // the device path goes with the unit
    if (link->line() != LineState::Lost) {
        std::fprintf(stderr, "bench-idle: the line was never lost\n");
        return 1;
    }

    // The panel's own pace while idle: its notifications dispatched every 10 ms.
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    const auto end = wall0 + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        owner.dispatch();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double share = cpu / wall;
    std::printf("line lost for %.1f s: %.1f ms of processor time, share %.4f of a core  goal <= %.2f: %s\n", wall,
                cpu * 1000.0, share, kGoal, share <= kGoal ? "met" : "missed");
    link->ExitInstance();
    link.reset();
    std::filesystem::remove_all(folder);
    return 0;
}
