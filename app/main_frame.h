// CMainFrame: the hidden main window. It owns the settings store, the serial
// device, the device model, the link (whose owner window it is), the control
// sheet and its pages. Its creation is the program's start-up: port choice,
// detection, the wait for the first status sweep, then the sheet. Its close is
// the shutdown: pages, goodbye packets, link.
#pragma once

#include "app/dialog_runner.h"
#include "app/not_detected.h"
#include "app/page_set.h"
#include "link/link_state.h"
#include "platform/file_dialog.h"
#include "platform/prompt.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"
#include "unit/unit_core.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

namespace bm {

class CDownloadDlg;
class CGeneralControlSheet;
class CQuorControl;
class CaptureWriter;
class DeviceModel;
class QtOwnerWindow;
class QtWaitHook;
struct Notification;

// What the main window works with. Empty members get the program's own:
// a QtPrompt, modal exec() of each dialog, a QFileDialog, the seven pages.
struct MainFrameServices {
    std::unique_ptr<SettingsStore> settings;
    // Makes the serial device: `device` when not empty (this run's, see
    // MainFrameOptions::device), else the chosen port's from the store.
    std::function<std::unique_ptr<SerialDevice>(SettingsStore&, const std::string& device)> makeSerial;
    std::unique_ptr<Prompt> prompt;
    std::unique_ptr<DialogRunner> dialogs;
    std::unique_ptr<FileDialog> files;
    PageFactory pages;
    // Asks what to do when no unit answered (the text names the device and
    // the cause); the default is askNotDetected's message box.
    std::function<NotDetectedChoice(const std::string& text)> notDetected;
};

struct MainFrameOptions {
    bool commConfigDialog = true;  // false: never show it at start (simulated unit)
    std::ostream* trace = nullptr; // attached to the link before it opens the port
    CaptureWriter* capture = nullptr; // likewise; the capture of every byte (--capture)
    // This run's device when it is not the chosen port's (--port, the
    // simulated unit), and why ("given with --port"); both empty when it is.
    // A port chosen in Comm Config after "not detected" replaces both.
    std::string device;
    QString deviceNote;
};

class CMainFrame : public QObject {
    Q_OBJECT
public:
    CMainFrame(MainFrameServices services, MainFrameOptions options = {}, QObject* parent = nullptr);
    ~CMainFrame() override; // shuts down if close() has not run

    // The start-up. 0 on success (also when no unit was found: a close is
    // then already posted), -1 when the program cannot go on.
    int create();
    // Shuts down and emits closed(): at once, or as soon as a blocking wait
    // is over or an open message box or dialog has been answered; asked during
    // start-up, start-up stops at its next step and then closes.
    void close();
    // Queues close() on the event loop.
    void postClose();

    SettingsStore& settings() { return *settings_; }
    Prompt& prompt() { return *prompt_; }
    QtOwnerWindow& ownerWindow() { return *owner_; }
    DeviceModel* model() { return model_; }
    CQuorControl* control() { return control_; }
    CGeneralControlSheet* sheet() { return sheet_; }
    const PageSet& pages() const { return pages_; }
    bool isShutDown() const { return shutDown_; }
    // The serial device of this run ("" before start-up made one), and why
    // it is not the chosen port's (MainFrameOptions::deviceNote).
    QString deviceInUse() const;
    QString deviceNote() const { return options_.deviceNote; }
    // The goodbye to the unit, callable on any thread, at most once in the
    // run (the shutdown's own counts): for a forced exit while the UI thread
    // is held up. It outlives the window and then does nothing.
    std::function<void()> lastWords() const;

signals:
    void closed();

private:
    int startUp();
    void dropLink();
    enum class SweepWait { Finished, TimedOut, Cancelled };
    SweepWait waitForStatusSweep(bool forcedDownload);
    // "Connecting to DEVICE..." from the port's opening until the unit is
    // detected or not; the start-up wait's progress then takes the window.
    void showConnecting(const QString& device);
    std::unique_ptr<CDownloadDlg> connecting_;
    void createSheet();
    void onNotification(const Notification& notification);
    void showLineState(LineState state);
    // Save or restore through the file dialog, with the wait cursor once a
    // file is chosen, then its outcome in the status line (`done` + the file).
    using FileAction = std::function<int(DeviceModel&, FileDialog&, Prompt&, SettingsStore&)>;
    void runFileAction(const FileAction& action, const char* done, const char* failed);
    // Restore Config: through brennmarkd's restore request when the line is
    // the service's, RestoreConfigAction's own restore otherwise.
    void restoreConfig();
    void shutdown();
    // Front-panel reports off and HOST_SLEEP, once; see lastWords().
    void sayGoodbye();

    // The goodbye shared with lastWords(), which may run on another thread.
    struct Goodbye {
        std::mutex mutex; // guards both members; held while the goodbye is sent
        std::function<void()> send; // set while a link to a unit is up
        bool said = false;
    };
    const std::shared_ptr<Goodbye> goodbye_ = std::make_shared<Goodbye>();

    MainFrameOptions options_;
    // Declared in the order they may be destroyed last-first: the link goes
    // before the model, the model before the store and the prompt.
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<Prompt> prompt_;
    std::unique_ptr<DialogRunner> dialogs_;
    std::unique_ptr<FileDialog> files_;
    std::function<std::unique_ptr<SerialDevice>(SettingsStore&, const std::string&)> makeSerial_;
    PageFactory makePages_;
    std::function<NotDetectedChoice(const std::string&)> notDetected_;
    std::unique_ptr<QtOwnerWindow> owner_;
    std::unique_ptr<QtWaitHook> waitHook_;
    // The unit's bring-up (the same as brennmark-cli's and the service's),
    // and its serial device, model and link while they are up.
    std::unique_ptr<unitcore::UnitCore> core_;
    SerialDevice* serial_ = nullptr;
    DeviceModel* model_ = nullptr;
    CQuorControl* control_ = nullptr;
    CGeneralControlSheet* sheet_ = nullptr;
    PageSet pages_;
    QTimer closeRetry_; // looks again for a close held by an open box
    bool creating_ = false;
    bool stopRequested_ = false;
    bool shutDown_ = false;
};

} // namespace bm
