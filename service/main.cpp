// brennmarkd: one service owns the unit; the panel, the command line and
// automation share it through its socket.
#include "service/service.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace bm::service;

int main(int argc, char** argv)
{
    ServiceOptions options;
    std::string error, output;
    bool done = false;
    if (!parseServiceOptions(argc, argv, options, error, done, output)) {
        std::fprintf(stderr, "brennmarkd: %s\n%s", error.c_str(), serviceUsage().c_str());
        return 2;
    }
    if (done) {
        std::fputs(output.c_str(), stdout);
        return 0;
    }
    // SIGTERM and SIGINT are read by the socket thread; no thread takes them
    // as signals. A client that goes away mid-write is an error, not a signal.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Service::Setup setup;
    setup.options = options;
    Service service(setup);
    if (!service.start(error)) {
        std::fprintf(stderr, "brennmarkd: %s\n", error.c_str());
        return 3;
    }
    return service.run(true);
}
