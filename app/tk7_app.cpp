// The application object: settings root, back-ends, the simulated unit and its
// console, the trace file, the main window and the event loop.
#include "app/tk7_app.h"

#include "app/main_frame.h"
#include "app/screenshot_tour.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "platform/console_input.h"
#include "platform/serial_factory.h"
#include "platform/stop_request.h"
#include "platform/termination.h"
#include "sim/sim_server.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

// Resources of a static library are registered by hand, outside any namespace.
static void initBrennmarkResources()
{
    Q_INIT_RESOURCE(brennmark);
}

namespace bm {
namespace {

// Time for the goodbye's two packets and their pacing before a forced exit.
constexpr int kLastWordsMs = 400;

bool isHelp(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t");
    const auto last = line.find_last_not_of(" \t");
    return first != std::string::npos && line.substr(first, last - first + 1) == "help";
}

} // namespace

CTK7App::CTK7App(AppOptions options) : options_(std::move(options)), events_(std::make_unique<QObject>())
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
    signals_.reset();
    // Calls the reader and the stop request posted and the loop has not run.
    events_.reset();
}

void CTK7App::installSignalHandlers()
{
    // The first SIGTERM or SIGINT (Ctrl+C on Windows) comes on the platform's
    // thread and is posted to the event loop as a close of the main window. A
    // second ends the program at once (platform/termination.h).
    QObject* events = events_.get();
    signals_ = std::make_unique<StopRequests>(
        [events, this] { QMetaObject::invokeMethod(events, [this] { terminate(); }, Qt::QueuedConnection); });
    if (!signals_->installed())
        signals_.reset();
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
    // standard input is a terminal or a pipe (not /dev/null, not closed). The
    // lines come on the reader's thread and are acted on in the event loop.
    if (standardInputIsConsole()) {
        QObject* events = events_.get();
        console_ = std::make_unique<ConsoleLineReader>(
            [events, this](std::string line) {
                QMetaObject::invokeMethod(
                    events, [this, line = std::move(line)] { consoleLine(line); }, Qt::QueuedConnection);
            },
            [] {}); // end of input: the unit keeps running without a console
        std::fprintf(stderr, "brennmark: simulated unit on %s; type its console commands here\n",
                     devicePath.c_str());
    }
    return true;
}

void CTK7App::consoleLine(const std::string& line)
{
    if (isHelp(line)) {
        std::fputs(sim::SimServer::consoleHelp().c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    std::string error;
    if (!sim_->command(line, &error))
        std::fprintf(stderr, "sim: %s\n", error.empty() ? "cannot parse that line" : error.c_str());
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
        return makeSerialDevice(settings, device); // tcp://, the service or the serial port
    };
    if (!options_.traceFile.isEmpty()) {
        trace_.open(options_.traceFile.toStdString(), std::ios::out | std::ios::trunc | std::ios::binary);
        if (!trace_)
            std::fprintf(stderr, "brennmark: cannot write the trace to %s\n", qPrintable(options_.traceFile));
        else
            frameOptions.trace = &trace_;
    }
    if (!options_.captureFile.isEmpty()) {
        std::string error;
        if (!capture_.open(options_.captureFile.toStdString(), error)) {
            std::fprintf(stderr, "brennmark: %s\n", error.c_str());
        } else {
            capture_.setRedact(options_.captureRedact);
            frameOptions.capture = &capture_;
        }
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
