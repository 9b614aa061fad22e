// Start-up, notifications and shutdown of the hidden main window.
#include "app/main_frame.h"

#include "app/comm_dialogs.h"
#include "app/compare_dialog.h"
#include "config/config_actions.h"
#include "app/dialog_runner.h"
#include "app/service_restore.h"
#include "app/small_dialogs.h"
#include "model/startup_wait.h"
#include "link/quor_control.h"
#include "platform/qt_modal.h"
#include "model/device_model.h"
#include "platform/qt_file_dialog.h"
#include "platform/qt_owner_window.h"
#include "platform/qt_settings.h"
#include "platform/qt_prompt.h"
#include "platform/qt_wait.h"
#include "platform/service_socket.h"
#include "platform/settings_keys.h"
#include "platform/sleep.h"
#include "ui/control_sheet.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <new>

namespace bm {
namespace {

// The file dialog of a save or restore, remembering the file chosen (for the
// status line) and showing a wait cursor from that moment until the action ends.
class ChosenFile : public FileDialog {
public:
    explicit ChosenFile(FileDialog& inner) : inner_(inner) {}
    ~ChosenFile() override
    {
        if (chosen())
            QApplication::restoreOverrideCursor();
    }

    FileDialogResult run(const FileDialogRequest& request) override
    {
        FileDialogResult result = inner_.run(request);
        if (result.path && !chosen()) {
            path_ = QString::fromStdString(*result.path);
            QApplication::setOverrideCursor(Qt::WaitCursor);
        }
        return result;
    }
    bool chosen() const { return !path_.isEmpty(); }
    QString path() const { return path_; }

private:
    FileDialog& inner_;
    QString path_;
};

constexpr const char* kSheetCaption = "Brennmark - DE-1/ZA-2 Control Panel v1.02";
// Longer than the sender holds a caller for one request's pacing.
constexpr int kChainSettleMs = 150;

} // namespace

CMainFrame::CMainFrame(MainFrameServices services, MainFrameOptions options, QObject* parent)
    : QObject(parent),
      options_(options),
      settings_(std::move(services.settings)),
      prompt_(std::move(services.prompt)),
      dialogs_(std::move(services.dialogs)),
      files_(std::move(services.files)),
      makeSerial_(std::move(services.makeSerial)),
      makePages_(std::move(services.pages)),
      notDetected_(std::move(services.notDetected))
{
    if (!prompt_)
        prompt_ = std::make_unique<QtPrompt>();
    if (!dialogs_)
        dialogs_ = std::make_unique<ExecDialogRunner>();
    if (!files_)
        files_ = std::make_unique<QtFileDialog>();
    if (!makePages_)
        makePages_ = makeStandardPages;
    if (!notDetected_)
        notDetected_ = askNotDetected;

    closeRetry_.setInterval(50);
    connect(&closeRetry_, &QTimer::timeout, this, &CMainFrame::close);

    owner_ = std::make_unique<QtOwnerWindow>();
    owner_->setHandler([this](const Notification& n) { onNotification(n); });
    // The status line follows the line also during a long save or restore.
    owner_->deliverWhileHeld(WM_LINE_STATE);
    // The pump of the UI thread's blocking waits: they show the prompts the
    // reader is waiting on and keep the windows painted.
    waitHook_ = std::make_unique<QtWaitHook>(*owner_, [this] { prompt_->showPending(); });
    core_ = std::make_unique<unitcore::UnitCore>(
        unitcore::UnitCore::Environment{*owner_, *settings_, *prompt_, waitHook_.get(), options_.capture});
}

CMainFrame::~CMainFrame()
{
    shutdown();
}

int CMainFrame::create()
{
    creating_ = true;
    const int result = startUp();
    creating_ = false;
    if (result == 0 && stopRequested_ && !shutDown_)
        postClose();
    return result;
}

int CMainFrame::startUp()
{
    // The port choice. "CommPort" is absent (read as 256) only before the
    // first start, which always shows the dialog and downloads.
    CommConfigValues choice;
    bool showDialog = true;
    const int storedPort = settings_->readInt(keys::kComm, keys::kCommPort, keys::kCommPortAbsent);
    if (storedPort == keys::kCommPortAbsent) {
        choice = CommConfigValues{0, 0, 1};
    } else {
        choice.portIndex = storedPort;
        choice.dontShow = settings_->readInt(keys::kComm, keys::kDontShow, 0);
        choice.forceDownload = settings_->readInt(keys::kComm, keys::kForceDownload, 0);
        showDialog = choice.dontShow == 0;
    }
    if (showDialog && options_.commConfigDialog) {
        // No link exists yet: the Advanced dialog only stores its values.
        CCommConfigDlg dialog(choice, *settings_, *prompt_, *dialogs_, nullptr);
        if (!options_.device.empty())
            dialog.showDeviceInUse(QString::fromStdString(options_.device), options_.deviceNote);
        if (dialogs_->run(dialog) == QDialog::Accepted)
            choice = dialog.values();
    }
    // A forced download happens once per request. One batch: one file write.
    settings_->writeBatch({{keys::kComm, keys::kCommPort, choice.portIndex},
                           {keys::kComm, keys::kDontShow, choice.dontShow},
                           {keys::kComm, keys::kForceDownload, 0}});
    if (choice.forceDownload == 0 && DeviceModel::definitionCacheMissing(*settings_))
        choice.forceDownload = 1;

    // Detection: the link's construction opens the port, greets the unit and
    // waits up to about a second for any packet; then the status sweep, in
    // which a unit identifies itself with its configuration. Whatever answers
    // without a configuration of a DE-1 or ZA-2 is no unit. No unit is not the
    // end: the user may plug it in, switch it on or pick another device, and
    // try again.
    for (;;) {
        try {
            auto serial = makeSerial_(*settings_, options_.device);
            showConnecting(QString::fromStdString(serial->devicePath()));
            core_->open(std::move(serial), choice.portIndex, choice.forceDownload != 0, options_.trace);
        } catch (const std::bad_alloc&) {
            prompt_->ask("Couldn't Create Brennmark Control!");
            return -1;
        }
        serial_ = &core_->serial();
        model_ = &core_->model();
        control_ = &core_->link();
        if (stopRequested_) {
            connecting_.reset();
            return 0; // create() posts the close
        }
        NotDetected why = notDetectedReason(*serial_);
        if (control_->state().UnitHeard) {
            control_->EnableLink();
            {
                std::lock_guard lock(goodbye_->mutex);
                goodbye_->send = [this] { sayGoodbye(); };
            }
            const SweepWait waited = waitForStatusSweep(choice.forceDownload != 0);
            if (stopRequested_)
                return 0; // create() posts the close
            if (control_->state().UnitConfirmed) {
                if (waited == SweepWait::TimedOut)
                    prompt_->ask("Timed out waiting for data download from DE-1/ZA-2!");
                break;
            }
            why.answer = "it answered, but never identified itself as one";
        }

        connecting_.reset();
        std::fprintf(stderr, "brennmark: %s\n", why.terminalText().c_str());
        const NotDetectedChoice next = notDetected_(why.boxText());
        if (next == NotDetectedChoice::Quit || stopRequested_) {
            postClose(); // the normal shutdown, with its goodbye if the port opened
            return 0;
        }
        dropLink();
        if (next == NotDetectedChoice::CommConfig) {
            CCommConfigDlg dialog(choice, *settings_, *prompt_, *dialogs_, nullptr);
            if (!options_.device.empty())
                dialog.showDeviceInUse(QString::fromStdString(options_.device), options_.deviceNote);
            if (dialogs_->run(dialog) == QDialog::Accepted) {
                // The port chosen here is the one to try: it replaces the
                // device given for the run.
                options_.device.clear();
                options_.deviceNote.clear();
                const CommConfigValues picked = dialog.values();
                choice.portIndex = picked.portIndex;
                choice.dontShow = picked.dontShow;
                choice.forceDownload = picked.forceDownload || choice.forceDownload;
                settings_->writeInt(keys::kComm, keys::kCommPort, choice.portIndex);
                settings_->writeInt(keys::kComm, keys::kDontShow, choice.dontShow);
            }
        }
    }
    createSheet();
    return 0;
}

void CMainFrame::dropLink()
{
    // Nothing was heard, or nothing that is a unit: no goodbye is owed. The
    // link's timers go with it.
    {
        std::lock_guard lock(goodbye_->mutex); // waits for last words under way
        goodbye_->send = nullptr;
    }
    core_->close();
    owner_->killTimer(kResponseWindowTimer);
    owner_->killTimer(kSuppressionTimer);
    core_->drop();
    control_ = nullptr;
    model_ = nullptr;
    serial_ = nullptr;
}

void CMainFrame::showConnecting(const QString& device)
{
    connecting_ = std::make_unique<CDownloadDlg>();
    connecting_->setWindowIcon(appIcon());
    connecting_->setText(QStringLiteral("Connecting to %1...").arg(device));
    connecting_->show();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

CMainFrame::SweepWait CMainFrame::waitForStatusSweep(bool forcedDownload)
{
    LinkState& state = control_->state();
    auto progress = connecting_ ? std::move(connecting_) : std::make_unique<CDownloadDlg>();
    progress->setWindowIcon(appIcon());
    progress->show();

    // The UI thread dispatches nothing of the link's while it waits; the pump
    // keeps the progress window painted and shows the receiver's prompts.
    // The window's own input (Cancel) is taken as well.
    waitHook_->setUserInput(true);
    StartupWait wait(state, forcedDownload, [this](int ms) { waitPumping(waitHook_.get(), ms); });
    const bool finished = wait.run([&](const StartupWait& w) {
        if (stopRequested_ || progress->cancelled())
            return false;
        const std::uint32_t sent = state.CommandsSent;
        const std::uint32_t received = state.ResponsesReceived;
        progress->setText(QString::asprintf("Commands Sent: %ld,  Responses Received: %ld",
                                            static_cast<long>(sent), static_cast<long>(received)));
        const bool downloading = w.downloadSeen() || state.ReloadDefinitions;
        progress->setProgress(sweepProgress(sent, downloading, !state.StatusSweepActive, model_->unitConfig()));
        return true;
    });
    waitHook_->setUserInput(false);
    const bool cancelled = progress->cancelled() && !finished;
    progress.reset();
    if (finished)
        return SweepWait::Finished;
    if (!cancelled)
        return SweepWait::TimedOut;
    // The sweep's chain ends here, as at shutdown; a download cut short leaves
    // the cache unmarked and is done again at the next start.
    if (state.ReloadDefinitions)
        settings_->writeInt(keys::kComm, keys::kForceDownload, 1);
    state.StatusSweepActive = false;
    state.ReloadDefinitions = false;
    sleepMs(kChainSettleMs);
    return SweepWait::Cancelled;
}

void CMainFrame::createSheet()
{
    sheet_ = new (std::nothrow) CGeneralControlSheet(QString::fromLatin1(kSheetCaption), [this] { postClose(); });
    if (!sheet_) {
        prompt_->ask("Failed to bring up Ridaziv Control Panel");
        postClose();
        return;
    }
    sheet_->setWindowIcon(appIcon());

    InfoPageServices services{*dialogs_, control_, {}, {}, {}, {}, {}, {}};
    services.deviceInUse = deviceInUse();
    if (auto* stored = dynamic_cast<QSettingsStore*>(settings_.get()))
        services.settingsFile = stored->location();
    services.deviceNote = options_.deviceNote;
    services.saveConfig = [this] {
        runFileAction(SaveConfigAction, "Configuration saved to ", "Configuration not saved");
    };
    services.restoreConfig = [this] { restoreConfig(); };
    services.compareConfig = [this] {
        const std::string device = serial_->devicePath();
        const std::string outcome = CompareConfigAction(*model_, *files_, *dialogs_, *prompt_, *settings_,
                                                        isServiceDevice(device) ? device : std::string());
        if (!outcome.empty())
            sheet_->showOutcome(QString::fromStdString(outcome));
    };
    pages_ = makePages_(PageContext{*model_, *settings_, *prompt_}, std::move(services));
    for (ControlPage* page : pages_.tabOrder())
        if (page)
            sheet_->addPage(page);
    showLineState(static_cast<LineState>(control_->state().Line.load()));
    sheet_->show();
    sheet_->start();
}

void CMainFrame::restoreConfig()
{
    const std::string device = serial_->devicePath();
    const bool service = isServiceDevice(device);
    runFileAction(
        [service, device](DeviceModel& model, FileDialog& files, Prompt& prompt, SettingsStore& settings) {
            if (!service)
                return RestoreConfigAction(model, files, prompt, settings);
            return RestoreConfigAction(model, files, prompt, settings,
                                       [&](const std::string& path, const ConfigFileContents& file) {
                                           return RestoreThroughService(model, prompt, device, path, file);
                                       });
        },
        "Restored from ", "Configuration not restored");
}

void CMainFrame::runFileAction(const FileAction& action, const char* done, const char* failed)
{
    ChosenFile file(*files_);
    if (action(*model_, file, *prompt_, *settings_) == 1)
        sheet_->showOutcome(QString::fromLatin1(done) + file.path());
    else if (file.chosen()) // nothing to say when the dialog was cancelled
        sheet_->showOutcome(QString::fromLatin1(failed));
}

void CMainFrame::showLineState(LineState state)
{
    if (!sheet_)
        return;
    const std::uint8_t product = model_->unitConfig().ProductId;
    const bool known = product == 1 || product == 2;
    sheet_->setLineState(state, known ? QString::fromLatin1(ProductName(product)) : QStringLiteral("the unit"),
                         QString::fromStdString(serial_->devicePath()));
}

QString CMainFrame::deviceInUse() const
{
    return serial_ ? QString::fromStdString(serial_->devicePath()) : QString();
}

void CMainFrame::postClose()
{
    QMetaObject::invokeMethod(this, &CMainFrame::close, Qt::QueuedConnection);
}

void CMainFrame::close()
{
    if (shutDown_)
        return;
    // Asked while start-up runs (a signal, say): start-up stops at its next
    // step and posts the close itself.
    if (creating_) {
        stopRequested_ = true;
        return;
    }
    // A close that reaches us inside a blocking wait (its slices run the event
    // loop) waits until the waiting code has returned.
    if (waitHook_ && waitHook_->waiting()) {
        waitHook_->afterWait([this] { close(); });
        return;
    }
    // One that reaches us while a message box or dialog is up (its own loop
    // runs the queue) is honoured as soon as that has been answered and its
    // loop has returned: an answered box is hidden before its exec() ends,
    // and tearing the windows down under it frees it twice.
    if (QApplication::activeModalWidget() || ModalScope::depth() > 0) {
        if (!closeRetry_.isActive())
            closeRetry_.start();
        return;
    }
    closeRetry_.stop();
    shutdown();
    emit closed();
}

void CMainFrame::onNotification(const Notification& n)
{
    switch (n.message) {
    case WM_FRONT_PANEL:
        if (pages_.info)
            pages_.info->refresh();
        break;
    case WM_PARAM_CHANGED: {
        // The program's own commands are answered inside the response window:
        // the pages then wait for the window's end (0, 1) and redraw once.
        const bool windowOpen = control_ && control_->state().ResponseWindowOpen;
        if ((n.first == 0 && n.second != 0) || !windowOpen) {
            for (ControlPage* page : {pages_.general, pages_.outputs, pages_.equalization, pages_.zone2})
                if (page)
                    page->refresh();
        }
        if (pages_.info)
            pages_.info->refresh();
        if (sheet_ && control_ && !control_->state().StatusSweepActive)
            sheet_->sweepEnded();
        break;
    }
    case WM_LINE_STATE:
        showLineState(static_cast<LineState>(n.first));
        break;
    default: // WM_UNIT_POWER, WM_UNIT_RESPONSE: nothing to do
        break;
    }
}

std::function<void()> CMainFrame::lastWords() const
{
    return [goodbye = goodbye_] {
        std::lock_guard lock(goodbye->mutex);
        if (goodbye->said || !goodbye->send)
            return;
        goodbye->said = true;
        goodbye->send();
    };
}

void CMainFrame::sayGoodbye()
{
    // Front-panel reports off and goodbye; 100 ms for the writer to send them.
    core_->sayGoodbye();
    sleepMs(100);
}

void CMainFrame::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;

    // Nothing of the link reaches the pages any more, and from here on the
    // link's waits (the goodbye's pacing, the close) neither show prompts nor
    // run the event loop. The pump itself stays until the link is gone.
    owner_->setHandler(nullptr);
    waitHook_->stop();

    if (sheet_) {
        sheet_->beginTeardown();
        for (ControlPage* page : {pages_.general, pages_.speakers, pages_.outputs, pages_.equalization,
                                  pages_.info, pages_.zone2, pages_.names})
            delete page;
        pages_ = PageSet{};
        delete sheet_;
        sheet_ = nullptr;
    }
    if (control_) {
        // A sweep or download still running would go on sending after the
        // goodbye: end its chain, and give an answer being handled the time to
        // finish its request. A download cut short is done again next time.
        LinkState& state = control_->state();
        if (state.ReloadDefinitions)
            settings_->writeInt(keys::kComm, keys::kForceDownload, 1);
        const bool chainRunning = state.StatusSweepActive || state.ReloadDefinitions;
        state.StatusSweepActive = false;
        state.ReloadDefinitions = false;
        if (chainRunning)
            sleepMs(kChainSettleMs);
        {
            std::lock_guard lock(goodbye_->mutex);
            if (!goodbye_->said)
                sayGoodbye();
            goodbye_->said = true;
            goodbye_->send = nullptr;
        }
        control_->DisableLink();
        control_->ExitInstance();
        control_->detachTrace();
        owner_->close(); // the link's threads are gone; so go its timers
        core_->close();
        control_ = nullptr;
    }
    // The model and the (closed) serial device go with the window itself.
}

} // namespace bm
