// The application object: settings root, back-ends, the simulated unit and its
// console, the trace file, the main window and the event loop.
#include "app/tk7_app.h"

#include "app/main_frame.h"
#include "app/screenshot_tour.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "platform/serial_factory.h"
#include "platform/termination.h"
#include "sim/sim_server.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Resources of a static library are registered by hand, outside any namespace.
static void initBrennmarkResources()
{
    Q_INIT_RESOURCE(brennmark);
}

namespace bm {
namespace {

// The self-pipe: the first signal's handler only writes a byte, which the
// event loop reads through a socket notifier and turns into a close of the
// main window. A second signal ends the program at once (platform/termination.h).
int gSignalPipe[2] = {-1, -1};

// Time for the goodbye's two packets and their pacing before a forced exit.
constexpr int kLastWordsMs = 400;

extern "C" void onTerminationSignal(int)
{
    const int saved = errno; // write() is async-signal-safe; errno is ours to keep
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

bool isHelp(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t");
    const auto last = line.find_last_not_of(" \t");
    return first != std::string::npos && line.substr(first, last - first + 1) == "help";
}

} // namespace

CTK7App::CTK7App(AppOptions options) : options_(std::move(options))
{
    initBrennmarkResources();
    // Software\Tollvane\Brennmark.
    QCoreApplication::setOrganizationName(QString::fromLatin1(keys::kCompany));
    QCoreApplication::setApplicationName(QString::fromLatin1(keys::kApplication));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.02"));
    // The sheet is the program's window, but the program ends through the
    // main window's close, never because the last window went away.
    QApplication::setQuitOnLastWindowClosed(false);
}

CTK7App::~CTK7App()
{
    frame_.reset(); // the link goes before the simulated unit and the trace file
    console_.reset();
    if (sim_)
        sim_->stop();
    if (signals_) {
        removeTerminationSignals();
        signals_.reset();
        ::close(gSignalPipe[0]);
        ::close(gSignalPipe[1]);
        gSignalPipe[0] = gSignalPipe[1] = -1;
    }
}

void CTK7App::installSignalHandlers()
{
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signals_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(signals_.get(), &QSocketNotifier::activated, [this] {
        char bytes[16];
        while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        terminate();
    });
    installTerminationSignals(onTerminationSignal);
}

void CTK7App::terminate()
{
    // As a window close, with every question still open answered as by
    // Escape (a message box, a dialog), so that the close is not held up by
    // nobody at the screen; again and again while new ones come up.
    auto step = [this] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        if (frame_)
            frame_->close();
    };
    if (!terminating_) {
        terminating_ = std::make_unique<QTimer>();
        QObject::connect(terminating_.get(), &QTimer::timeout, step);
        terminating_->start(200);
    }
    step();
}

bool CTK7App::startSimulator(std::string& devicePath)
{
    sim_ = std::make_unique<sim::SimServer>();
    if (!sim_->start()) {
        std::fprintf(stderr, "brennmark: could not start the simulated unit\n");
        return false;
    }
    devicePath = sim_->devicePath();

    // Console lines act on the simulated unit's front panel and remote, when
    // standard input is a terminal or a pipe (not /dev/null, not closed).
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) == 0 && (isatty(STDIN_FILENO) || S_ISFIFO(st.st_mode))) {
        console_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(console_.get(), &QSocketNotifier::activated, [this] { readConsole(); });
        std::fprintf(stderr, "brennmark: simulated unit on %s; type its console commands here\n",
                     devicePath.c_str());
    }
    return true;
}

void CTK7App::readConsole()
{
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) { // end of input: the unit keeps running without a console
        console_->setEnabled(false);
        return;
    }
    consolePending_.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = consolePending_.find('\n')) != std::string::npos) {
        std::string line = consolePending_.substr(0, end);
        consolePending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (isHelp(line)) {
            std::fputs(sim::SimServer::consoleHelp().c_str(), stdout);
            std::fflush(stdout);
            continue;
        }
        std::string error;
        if (!sim_->command(line, &error))
            std::fprintf(stderr, "sim: %s\n", error.empty() ? "cannot parse that line" : error.c_str());
    }
}

bool CTK7App::InitInstance()
{
    std::string overridePath = options_.port.toStdString();
    MainFrameServices services;
    MainFrameOptions frameOptions;
    installSignalHandlers();
    if (!options_.port.isEmpty()) {
        frameOptions.device = overridePath;
        frameOptions.deviceNote = QStringLiteral("given with --port");
    }
    if (options_.simulate) {
        if (!startSimulator(overridePath))
            return false;
        frameOptions.commConfigDialog = false;
        frameOptions.device = overridePath;
        frameOptions.deviceNote = QStringLiteral("the simulated unit");
        // The simulated unit keeps its own definition cache, so that it never
        // replaces the real unit's.
        const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                            QStringLiteral("/Tollvane");
        QDir().mkpath(dir);
        services.settings = std::make_unique<QSettingsStore>(dir + QStringLiteral("/Brennmark-simulated.conf"));
    } else {
        services.settings = std::make_unique<QSettingsStore>();
    }
    services.makeSerial = [](SettingsStore& settings, const std::string& device) -> std::unique_ptr<SerialDevice> {
        return makeSerialDevice(settings, device); // tcp:// or a termios device
    };
    if (!options_.traceFile.isEmpty()) {
        trace_.open(options_.traceFile.toStdString(), std::ios::out | std::ios::trunc | std::ios::binary);
        if (!trace_)
            std::fprintf(stderr, "brennmark: cannot write the trace to %s\n", qPrintable(options_.traceFile));
        else
            frameOptions.trace = &trace_;
    }

    frame_ = std::make_unique<CMainFrame>(std::move(services), frameOptions);
    // A second signal while the first's close is held up: the goodbye if the
    // line can still carry it, then the end.
    if (signals_)
        setLastWords(frame_->lastWords(), kLastWordsMs);
    QObject::connect(frame_.get(), &CMainFrame::closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    if (frame_->create() != 0) {
        frame_->prompt().ask("Failed to create empty document.");
        frame_.reset();
        return false;
    }
    if (!options_.screenshotDir.isEmpty() && frame_->sheet()) {
        QTimer::singleShot(0, frame_.get(), [this] {
            const int saved = runScreenshotTour(*frame_, options_.screenshotDir);
            std::fprintf(stderr, "brennmark: %d screenshots in %s\n", saved, qPrintable(options_.screenshotDir));
            frame_->close();
        });
    }
    return true;
}

int CTK7App::Run()
{
    if (!frame_)
        return 1;
    return QApplication::exec();
}

} // namespace bm
