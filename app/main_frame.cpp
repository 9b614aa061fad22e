// Start-up, notifications and shutdown of the hidden main window.
#include "app/main_frame.h"

#include "app/comm_dialogs.h"
#include "app/compare_dialog.h"
#include "app/config_actions.h"
#include "app/dialog_runner.h"
#include "app/small_dialogs.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/qt_file_dialog.h"
#include "platform/qt_owner_window.h"
#include "platform/qt_prompt.h"
#include "platform/qt_wait.h"
#include "platform/settings_keys.h"
#include "platform/sleep.h"
#include "ui/control_sheet.h"

#include <cstdio>
#include <new>

namespace bm {
namespace {

constexpr const char* kSheetCaption = "Brennmark - DE-1/ZA-2 Control Panel v1.02";
// Start-up wait: 100 ms passes, 50 of them for an ordinary start, 1800 when a
// download was asked for; 51 passes without a new packet end it early.
constexpr int kWaitPassMs = 100;
constexpr int kWaitPasses = 50;
constexpr int kWaitPassesForcedDownload = 1800;
constexpr int kIdlePassLimit = 50;

} // namespace

CMainFrame::CMainFrame(MainFrameServices services, MainFrameOptions options, QObject* parent)
    : QObject(parent),
      options_(options),
      settings_(std::move(services.settings)),
      prompt_(std::move(services.prompt)),
      dialogs_(std::move(services.dialogs)),
      files_(std::move(services.files)),
      makeSerial_(std::move(services.makeSerial)),
      makePages_(std::move(services.pages))
{
    if (!prompt_)
        prompt_ = std::make_unique<QtPrompt>();
    if (!dialogs_)
        dialogs_ = std::make_unique<ExecDialogRunner>();
    if (!files_)
        files_ = std::make_unique<QtFileDialog>();
    if (!makePages_)
        makePages_ = makeStandardPages;

    owner_ = std::make_unique<QtOwnerWindow>();
    owner_->setHandler([this](const Notification& n) { onNotification(n); });
    auto* qtPrompt = dynamic_cast<QtPrompt*>(prompt_.get());
    waitHook_ = std::make_unique<QtWaitHook>(*owner_, [qtPrompt] {
        if (qtPrompt)
            qtPrompt->showPending();
    });
}

CMainFrame::~CMainFrame()
{
    shutdown();
}

int CMainFrame::create()
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
        if (dialogs_->run(dialog) == QDialog::Accepted)
            choice = dialog.values();
    }
    settings_->writeInt(keys::kComm, keys::kCommPort, choice.portIndex);
    settings_->writeInt(keys::kComm, keys::kDontShow, choice.dontShow);
    // A forced download happens once per request.
    settings_->writeInt(keys::kComm, keys::kForceDownload, 0);
    if (choice.forceDownload == 0 && DeviceModel::definitionCacheMissing(*settings_))
        choice.forceDownload = 1;

    // Detection: the link's construction opens the port, greets the unit and
    // waits up to about a second for any packet.
    serial_ = makeSerial_(*settings_);
    model_ = std::make_unique<DeviceModel>(*settings_, *prompt_);
    const CQuorControl::Environment env{*owner_, *settings_, *prompt_, *serial_};
    control_.reset(new (std::nothrow)
                       CQuorControl(env, choice.portIndex + 1, choice.forceDownload != 0, model_.get()));
    if (!control_) {
        prompt_->ask("Couldn't Create Brennmark Control!");
        return -1;
    }
    if (options_.trace)
        control_->attachTrace(options_.trace);
    if (!control_->state().UnitHeard) {
        // Say on the terminal what the message box cannot: which device, and
        // why it would not open (missing, in use, not a serial line).
        if (!serial_->isOpen())
            std::fprintf(stderr, "brennmark: cannot open serial device %s: %s\n",
                         serial_->devicePath().c_str(), serial_->openError().c_str());
        else
            std::fprintf(stderr, "brennmark: no answer from a unit on %s\n",
                         serial_->devicePath().c_str());
        prompt_->ask("Ridaziv DE-1 or ZA-2 was not detected... Exiting!");
        postClose();
        return 0;
    }
    control_->EnableLink();

    waitForStatusSweep(choice.forceDownload != 0);
    createSheet();
    return 0;
}

void CMainFrame::waitForStatusSweep(bool forcedDownload)
{
    const LinkState& state = control_->state();
    auto progress = std::make_unique<CDownloadDlg>();
    progress->setWindowIcon(appIcon());
    progress->show();

    // The UI thread dispatches nothing of the link's while it waits; the wait
    // hook keeps the progress window painted and shows the receiver's prompts.
    const int passLimit = forcedDownload ? kWaitPassesForcedDownload : kWaitPasses;
    int passes = 0;
    int idle = 0;
    std::uint32_t lastCount = state.ResponsesReceived;
    for (;;) {
        sleepMs(kWaitPassMs);
        const std::uint32_t sent = state.CommandsSent;
        const std::uint32_t received = state.ResponsesReceived;
        progress->setText(QString::asprintf("Commands Sent: %ld,  Responses Received: %ld",
                                            static_cast<long>(sent), static_cast<long>(received)));
        if (received == lastCount) {
            if (++idle > kIdlePassLimit)
                break;
        } else {
            idle = 0;
            lastCount = received;
        }
        if (!state.StatusSweepActive)
            break;
        if (++passes >= passLimit)
            break;
    }
    if (state.StatusSweepActive)
        prompt_->ask("Timed out waiting for data download from DE-1/ZA-2!");
    progress.reset();
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

    InfoPageServices services{*dialogs_, control_.get(), {}, {}, {}};
    services.saveConfig = [this] { SaveConfigAction(*model_, *files_, *prompt_, *settings_); };
    services.restoreConfig = [this] { RestoreConfigAction(*model_, *files_, *prompt_, *settings_); };
    services.compareConfig = [this] { CompareConfigAction(*model_, *files_, *dialogs_, *prompt_, *settings_); };
    pages_ = makePages_(PageContext{*model_, *settings_, *prompt_}, std::move(services));
    for (ControlPage* page : pages_.tabOrder())
        if (page)
            sheet_->addPage(page);
    sheet_->show();
    sheet_->start();
}

void CMainFrame::postClose()
{
    QMetaObject::invokeMethod(this, &CMainFrame::close, Qt::QueuedConnection);
}

void CMainFrame::close()
{
    if (shutDown_)
        return;
    // A close that reaches us inside a blocking wait (its slices run the event
    // loop) waits until the waiting code has returned.
    if (waitHook_ && waitHook_->waiting()) {
        waitHook_->afterWait([this] { close(); });
        return;
    }
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
        break;
    }
    default: // WM_UNIT_POWER, WM_UNIT_RESPONSE: nothing to do
        break;
    }
}

void CMainFrame::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;

    // Nothing of the link reaches the pages any more, and the goodbye's
    // sleep below neither shows prompts nor runs the event loop.
    owner_->setHandler(nullptr);
    waitHook_.reset();

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
        // Front-panel reports off and goodbye; 100 ms for the writer to send them.
        model_->SetFrontPanelControl(0x00, 0x00, 0x00, 0x32);
        model_->HostSleep();
        sleepMs(100);
        control_->DisableLink();
        control_->ExitInstance();
        control_->detachTrace();
        owner_->close(); // the link's threads are gone; so go its timers
        control_.reset();
    }
    // The model and the (closed) serial device go with the window itself.
}

} // namespace bm
