// Times an ordinary start (link construction to the end of the status sweep,
// with a trusted definition cache) and a forced download of every definition,
// against the simulated unit at 19200 baud, and compares each with the time
// its bytes alone need on the line.
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/manual_owner_window.h"
#include "platform/memory_settings.h"
#include "platform/scripted_prompt.h"
#include "platform/termios_serial.h"
#include "sim/sim_server.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = 19200.0;
constexpr double kBitsPerCharacter = 11.0; // start, 8 data, odd parity, stop
constexpr int kLimitMs = 600000;

struct Result {
    const char* name;
    double elapsedMs = 0;
    std::uint64_t fromHost = 0;
    std::uint64_t toHost = 0;
    std::uint32_t commands = 0;
    std::uint32_t responses = 0;
    bool finished = false;
};

// One start of the program against a fresh simulated unit, on `settings`
// (which keeps the definition cache between runs).
Result run(const char* name, bm::InMemorySettings& settings, bool reload)
{
    Result r{name};
    bm::sim::SimServer unit; // default options: 19200-baud wire timing
    if (!unit.start()) {
        std::fprintf(stderr, "cannot start the simulated unit\n");
        return r;
    }
    bm::ScriptedPrompt prompt;
    bm::ManualOwnerWindow owner;
    bm::TermiosSerialPort port(settings, unit.devicePath());
    bm::DeviceModel model(settings, prompt);

    const auto start = Clock::now();
    bm::CQuorControl link({owner, settings, prompt, port}, 1, reload, &model);
    const bm::LinkState& state = link.state();
    while (state.StatusSweepActive.load() || state.ReloadDefinitions.load()) {
        if (Clock::now() - start > std::chrono::milliseconds(kLimitMs))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    r.finished = !state.StatusSweepActive.load() && !state.ReloadDefinitions.load();
    r.commands = state.CommandsSent.load();
    r.responses = state.ResponsesReceived.load();
    link.ExitInstance();
    r.fromHost = unit.bytesFromHost();
    r.toHost = unit.bytesToHost();
    if (prompt.count() != 0)
        std::fprintf(stderr, "%s: unexpected message \"%s\"\n", name, prompt.texts().front().c_str());
    return r;
}

void print(const Result& r)
{
    const std::uint64_t bytes = r.fromHost + r.toHost;
    const double lineMs = static_cast<double>(bytes) * kBitsPerCharacter / kBaud * 1000.0;
    std::printf("%-26s %10.0f ms  %6llu B to unit  %6llu B from unit  %6llu B total  "
                "%8.0f ms on the line  ratio %5.2f  (%u commands, %u packets received)%s\n",
                r.name, r.elapsedMs, static_cast<unsigned long long>(r.fromHost),
                static_cast<unsigned long long>(r.toHost), static_cast<unsigned long long>(bytes),
                lineMs, lineMs > 0 ? r.elapsedMs / lineMs : 0.0, r.commands, r.responses,
                r.finished ? "" : "  NOT FINISHED");
}

} // namespace

int main()
{
    // Built-in "Comm" timings throughout: the store starts empty.
    bm::InMemorySettings settings;
    const Result download = run("forced download", settings, true);
    const Result ordinary = run("ordinary start (cached)", settings,
                                bm::DeviceModel::definitionCacheMissing(settings));
    std::printf("Simulated unit at 19200 baud, 11-bit characters; built-in link timings.\n");
    print(ordinary);
    print(download);
    return ordinary.finished && download.finished ? 0 : 1;
}
