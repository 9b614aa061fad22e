// CTK7App: the application object. Sets the settings root (Tollvane/Brennmark),
// makes the main window with the program's real back-ends and runs the event
// loop. Also the command line's extras: a device for this run, the simulated
// unit, the trace file and the screenshot tour; and SIGTERM and SIGINT (Ctrl+C
// on Windows), which end the program as closing its window does.
#pragma once

#include "link/capture_file.h"

#include <QString>

#include <fstream>
#include <memory>
#include <string>

class QObject;
class QTimer;

namespace bm {

namespace sim {
class SimServer;
}
class CMainFrame;
class ConsoleLineReader;
class StopRequests;

struct AppOptions {
    QString port;          // --port DEVICE: this serial device for this run
    bool simulate = false; // --simulate: the simulated unit, in-process
    QString traceFile;     // --trace FILE
    QString captureFile;   // --capture FILE
    bool captureRedact = false; // --capture-redact
    QString screenshotDir; // --screenshot-dir DIR: save every page and close
};

class CTK7App {
public:
    // A QApplication must exist.
    explicit CTK7App(AppOptions options);
    ~CTK7App();

    // Makes the main window, whose creation runs the start-up. False when the
    // program has to end at once.
    bool InitInstance();
    // The event loop, until the main window has closed; the exit code.
    int Run();

    CMainFrame* mainFrame() { return frame_.get(); }

private:
    bool startSimulator(std::string& devicePath);
    void consoleLine(const std::string& line);
    void installSignalHandlers();
    void terminate();

    AppOptions options_;
    std::unique_ptr<sim::SimServer> sim_;
    // The context of the calls the console reader and the stop request post
    // to the event loop: its end drops those not yet run.
    std::unique_ptr<QObject> events_;
    std::unique_ptr<ConsoleLineReader> console_;
    std::ofstream trace_;
    CaptureWriter capture_;
    std::unique_ptr<StopRequests> signals_;
    std::unique_ptr<QTimer> terminating_;
    std::unique_ptr<CMainFrame> frame_;
};

} // namespace bm
