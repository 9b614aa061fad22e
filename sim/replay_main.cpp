// ridaziv-sim --replay: the unit of a capture, until SIGINT or SIGTERM, or
// until a request differs from the recording.
#include "sim/replay_main.h"

#include "link/capture_file.h"
#include "link/capture_import.h"
#include "sim/replay.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#include <pthread.h>
#endif

namespace bm::sim {
namespace {

#ifdef _WIN32
HANDLE gReplayStop = nullptr;
BOOL WINAPI onReplayControl(DWORD)
{
    ::SetEvent(gReplayStop);
    return TRUE;
}
#endif

} // namespace

int runImport(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "ridaziv-sim: cannot read %s\n", path.c_str());
        return 2;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string capture, error;
    if (!importCapture(text.str(), capture, error)) {
        std::fprintf(stderr, "ridaziv-sim: cannot import %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    std::cout << capture << std::flush;
    return 0;
}

int runReplay(const std::string& path, bool loose, const std::string& linkPath, const std::string& listenAddress)
{
    Capture capture;
    CaptureError error;
    if (!readCaptureFile(path, capture, error)) {
        std::fprintf(stderr, "ridaziv-sim: cannot replay %s: %s\n", path.c_str(), error.text().c_str());
        return 2;
    }
#ifndef _WIN32
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#else
    gReplayStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onReplayControl, TRUE);
#endif
    ReplayServer server(capture, {loose, linkPath, listenAddress});
    std::string startError;
    if (!server.start(startError)) {
        std::fprintf(stderr, "ridaziv-sim: cannot serve the line: %s\n", startError.c_str());
        return 1;
    }
    std::cout << server.terminalPath() << std::endl;

    // Until a signal, or the first difference.
    for (;;) {
        if (server.differed())
            break;
#ifdef _WIN32
        if (::WaitForSingleObject(gReplayStop, 100) == WAIT_OBJECT_0)
            break;
#else
        const timespec step{0, 100'000'000};
        if (sigtimedwait(&signals, nullptr, &step) > 0)
            break;
#endif
    }
    const std::size_t seen = server.requestsSeen();
    const std::size_t recorded = server.requestsRecorded();
    const std::string difference = server.stop();
    if (!difference.empty()) {
        std::fprintf(stderr, "ridaziv-sim: replay of %s: %s\n", path.c_str(), difference.c_str());
        return 1;
    }
    std::fprintf(stderr, "ridaziv-sim: replay of %s: %zu request(s) answered, %zu recorded%s\n", path.c_str(), seen,
                 recorded, loose ? " (loose)" : ", all as recorded");
    return 0;
}

} // namespace bm::sim
