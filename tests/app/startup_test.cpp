// Start-up and shutdown of the main window: the port choice and what it
// stores, detection, the wait for the first sweep (with a unit that falls
// silent, and with a ROM prompt from the receiver in the middle of it), the
// sheet, and the goodbye packets when the sheet is closed.
#include "app/comm_dialogs.h"
#include "app/small_dialogs.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "tests/app/app_rig.h"
#include "tests/support/noise_peer.h"
#include "ui/control_sheet.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace bm;
using namespace bm::test;
using Clock = std::chrono::steady_clock;

namespace {

const Bytes kFrontPanelOff = packet(DC_CMD_SET_FPD_CTRL, {0x00, 0x00, 0x00, 0x32});
const Bytes kFrontPanelOn = packet(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8});
const Bytes kHostSleep = packet(HOST_SLEEP);
const Bytes kHostWakeup = packet(HOST_WAKEUP);

std::vector<Bytes> lastTwo(const std::vector<Bytes>& packets)
{
    if (packets.size() < 2)
        return packets;
    return {packets.end() - 2, packets.end()};
}

// Fails the run instead of hanging it when start-up never returns.
class Watchdog {
public:
    explicit Watchdog(int seconds)
        : thread_([this, seconds] {
              for (int i = 0; i < seconds * 10 && !done_; ++i)
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              if (!done_) {
                  std::fprintf(stderr, "start-up did not return: deadlock\n");
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void firstRunOffersCom1WithDownloadAndCancelStoresTheDefaults()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, {});
        QString shownPort;
        bool download = false;
        bool dontShow = true;
        parts.runner->script = [&](QDialog& dialog) {
            shownPort = dialog.findChild<QComboBox*>(QStringLiteral("port"))->currentText();
            download = dialog.findChild<QCheckBox*>(QStringLiteral("download"))->isChecked();
            dontShow = dialog.findChild<QCheckBox*>(QStringLiteral("dontShow"))->isChecked();
            dialog.findChild<QCheckBox*>(QStringLiteral("dontShow"))->setChecked(true); // then Cancel
            return int(QDialog::Rejected);
        };

        QCOMPARE(frame->create(), 0);

        QCOMPARE(parts.runner->titles, QStringList{QStringLiteral("Brennmark Comm Config")});
        QCOMPARE(shownPort, QStringLiteral("COM1"));
        QVERIFY(download);
        QVERIFY(!dontShow);
        auto& s = *parts.settings;
        QCOMPARE(s.readInt(keys::kComm, keys::kCommPort, -7), 0);
        QCOMPARE(s.readInt(keys::kComm, keys::kDontShow, -7), 0);
        QCOMPARE(s.readInt(keys::kComm, keys::kForceDownload, -7), 0);
        QVERIFY(frame->control()->state().ReloadDefinitions.load()); // the first start downloads

        // Nothing answered on the port that opened.
        QCOMPARE(parts.fakePort->openedPort(), 1);
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{});
        QCOMPARE(parts.notDetectedTexts,
                 std::vector<std::string>{"Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\n"
                                          "No answer from a unit on fake."}); // then Quit
        QVERIFY(frame->sheet() == nullptr);
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTRY_COMPARE(closed.count(), 1); // the posted close runs the normal shutdown
        const auto writes = parts.fakePort->writes();
        QVERIFY(writes.size() >= 4);
        QCOMPARE(writes[0], kHostWakeup);
        QCOMPARE(writes[1], kFrontPanelOn);
        QCOMPARE(lastTwo(writes), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
        QVERIFY(!parts.fakePort->isOpen());
    }

    void theDialogsChoiceIsStoredAndUsed()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, [](InMemorySettings& s) {
            s.writeInt(keys::kComm, keys::kCommPort, 0);
            s.writeInt(keys::kComm, keys::kDontShow, 0);
        });
        parts.runner->script = [&](QDialog& dialog) {
            dialog.findChild<QComboBox*>(QStringLiteral("port"))->setCurrentIndex(2);
            dialog.findChild<QCheckBox*>(QStringLiteral("dontShow"))->setChecked(true);
            dialog.findChild<QCheckBox*>(QStringLiteral("download"))->setChecked(true);
            dialog.accept();
            return dialog.result();
        };
        QCOMPARE(frame->create(), 0);
        QCOMPARE(parts.fakePort->openedPort(), 3);
        auto& s = *parts.settings;
        QCOMPARE(s.readInt(keys::kComm, keys::kCommPort, -7), 2);
        QCOMPARE(s.readInt(keys::kComm, keys::kDontShow, -7), 1);
        QCOMPARE(s.readInt(keys::kComm, keys::kForceDownload, -7), 0); // acts once
        QVERIFY(frame->control()->state().ReloadDefinitions.load());
    }

    void dontShowSkipsTheDialogAndUsesTheStoredPort()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, [](InMemorySettings& s) {
            s.writeInt(keys::kComm, keys::kCommPort, 1);
            s.writeInt(keys::kComm, keys::kDontShow, 1);
            s.writeInt(keys::kComm, keys::kForceDownload, 1);
            s.writeInt(keys::kCacheParamMax, "0x00", 40); // a cache exists
        });
        QCOMPARE(frame->create(), 0);
        QVERIFY(parts.runner->titles.empty());
        QCOMPARE(parts.fakePort->openedPort(), 2);
        QVERIFY(frame->control()->state().ReloadDefinitions.load()); // forced this once
        QCOMPARE(parts.settings->readInt(keys::kComm, keys::kForceDownload, -7), 0);
    }

    void aCachedStartDoesNotDownload()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, [](InMemorySettings& s) {
            quietStart(s);
            s.writeInt(keys::kCacheParamMax, "0x00", 40);
            s.writeString(keys::kCacheUnitConfig, keys::kTimeStamp, "99/03/09 18:34");
            s.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "99/03/09 18:34");
        });
        QCOMPARE(frame->create(), 0);
        QVERIFY(!frame->control()->state().ReloadDefinitions.load());
    }

    void aUnitThatAnswersGetsTheSheetAndClosingItSaysGoodbye()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath());
        Watchdog watchdog(120);

        QCOMPARE(frame->create(), 0);
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{});
        QVERIFY(!frame->control()->state().StatusSweepActive.load());
        CGeneralControlSheet* sheet = frame->sheet();
        QVERIFY(sheet);
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->windowTitle(), QStringLiteral("Brennmark - DE-1/ZA-2 Control Panel v1.02"));
        QStringList captions;
        for (int i = 0; i < sheet->pageCount(); ++i)
            captions << sheet->page(i)->caption();
        QCOMPARE(captions, (QStringList{"Info", "General", "Speaker Config", "Output Levels", "Equalization",
                                        "Zone 2", "Names"}));
        QCOMPARE(sheet->activePage(), frame->pages().info);
        auto* product = frame->pages().info->findChild<QLineEdit*>(QStringLiteral("product"));
        QCOMPARE(product->text(), QStringLiteral("DE-1  COMPLETE"));

        // Changing tabs switches the unit's front-panel reports off and on
        // (once the Info page's own "on", after the greeting's, is through).
        auto frontPanelOns = [&unit] {
            const auto seen = unit.receivedPackets();
            return std::count(seen.begin(), seen.end(), kFrontPanelOn);
        };
        QTRY_VERIFY(frontPanelOns() >= 2);
        unit.clearReceived();
        sheet->setActiveIndex(1);
        QCOMPARE(sheet->activePage(), frame->pages().general);
        sheet->setActiveIndex(0);
        QTRY_VERIFY(unit.receivedPackets().size() >= 2);
        QCOMPARE(unit.receivedPackets()[0], kFrontPanelOff);
        QCOMPARE(unit.receivedPackets()[1], kFrontPanelOn);

        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        sheet->close();
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(frame->sheet() == nullptr);
        QVERIFY(frame->control() == nullptr);
        QTRY_VERIFY(unit.receivedPackets().size() >= 2);
        QCOMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
    }

    void aUnitFallingSilentMidDownloadTimesOutAndTheSheetStillComesUp()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath()); // no cache: forced download
        Watchdog watchdog(120);

        // Silence once the download has reached parameter 5.
        std::atomic<bool> stop{false};
        std::atomic<long long> silentAt{0};
        std::thread watcher([&] {
            while (!stop) {
                for (const Bytes& p : unit.receivedPackets()) {
                    if (p.size() > 4 && p[2] == DC_CMD_GET_SYS_PARAM_BY_ID && p[4] >= 5) {
                        unit.setSilent(true);
                        silentAt = Clock::now().time_since_epoch().count();
                        return;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        const int result = frame->create();
        const auto returned = Clock::now();
        stop = true;
        watcher.join();
        QCOMPARE(result, 0);
        QVERIFY(silentAt.load() != 0);
        const auto texts = parts.prompt->texts();
        QVERIFY(!texts.empty());
        QCOMPARE(texts.front(), std::string("Timed out waiting for data download from DE-1/ZA-2!"));
        // 51 passes of 100 ms without a packet, not the 1800 of the download's limit.
        const auto waited = returned - Clock::time_point(Clock::duration(silentAt.load()));
        QVERIFY(waited >= std::chrono::milliseconds(5000));
        QVERIFY(waited < std::chrono::seconds(60));
        QVERIFY(frame->sheet());
        QVERIFY(frame->sheet()->isVisible());
        frame->close(); // runs once control is back in the event loop
        QTRY_VERIFY(frame->isShutDown());
    }

    // A peer that sends noise (framed packets among it) is heard but is no
    // unit: "not detected", with the cause, after the short wait, never the
    // download's three minutes and never a sheet.
    void aPeerSendingNoiseIsNotTakenForAUnit()
    {
        NoisePeer noise;
        QVERIFY(!noise.url().empty());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, noise.url()); // no cache: a forced download
        Watchdog watchdog(60);

        QCOMPARE(frame->create(), 0);
        QVERIFY(noise.connections() >= 1);
        QCOMPARE(parts.notDetectedTexts.size(), std::size_t(1));
        QCOMPARE(parts.notDetectedTexts[0], "Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\nNo DE-1 or ZA-2 on " +
                                                noise.url() + ": it answered, but never identified itself as one.");
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{});
        QVERIFY(frame->sheet() == nullptr);
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTRY_COMPARE(closed.count(), 1);
    }

    // Cancel in the download window: the sheet opens on what is known, the
    // cache is not marked complete and the next start downloads again.
    void cancellingTheDownloadOpensTheSheetAndTheNextStartDownloads()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath()); // no cache: a forced download
        Watchdog watchdog(120);

        // The unit falls silent at parameter 5; Cancel is clicked once it has.
        std::atomic<bool> silent{false};
        std::atomic<bool> stop{false};
        std::thread watcher([&] {
            while (!stop) {
                for (const Bytes& p : unit.receivedPackets()) {
                    if (p.size() > 4 && p[2] == DC_CMD_GET_SYS_PARAM_BY_ID && p[4] >= 5) {
                        unit.setSilent(true);
                        silent = true;
                        return;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        bool clicked = false;
        QTimer clicker;
        QObject::connect(&clicker, &QTimer::timeout, [&] {
            if (!silent || clicked)
                return;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* cancel = w->isVisible() ? w->findChild<QPushButton*>(QStringLiteral("cancelDownload")) : nullptr;
                if (cancel) {
                    cancel->click();
                    clicked = true;
                }
            }
        });
        clicker.start(10);

        const auto started = Clock::now();
        QCOMPARE(frame->create(), 0);
        stop = true;
        watcher.join();
        QVERIFY(clicked);
        QVERIFY(Clock::now() - started < std::chrono::seconds(5)); // not the idle limit's wait
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{});
        QVERIFY(frame->sheet());
        QVERIFY(frame->sheet()->isVisible());
        QVERIFY(!frame->control()->state().ReloadDefinitions.load());
        QVERIFY(!frame->control()->state().StatusSweepActive.load());
        QVERIFY(DeviceModel::definitionCacheMissing(*parts.settings));
        QCOMPARE(parts.settings->readInt(keys::kComm, keys::kForceDownload, 0), 1);
        unit.setSilent(false);
        frame->close();
        QTRY_VERIFY(frame->isShutDown());
        QVERIFY(DeviceModel::definitionCacheMissing(*parts.settings));
    }

    void notDetectedThenRetryWithTheUnitNowPresentProceeds()
    {
        // The device is not there at first: the unit's link appears when the
        // user has plugged it in and answers Retry.
        QTemporaryDir dir;
        sim::SimOptions options = fastSim();
        options.linkPath = dir.filePath(QStringLiteral("ridaziv")).toStdString();
        sim::SimServer unit(options);
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, options.linkPath);
        parts.notDetectedAnswers = {NotDetectedChoice::Retry};
        bool started = false;
        parts.beforeNotDetectedAnswer = [&] { started = unit.start(); };
        Watchdog watchdog(120);

        QCOMPARE(frame->create(), 0);

        QVERIFY(started);
        QCOMPARE(parts.notDetectedTexts.size(), std::size_t(1));
        QCOMPARE(parts.notDetectedTexts[0], "Ridaziv DE-1 or ZA-2 was not detected... Exiting!\n\nCannot open " +
                                                options.linkPath + ": No such file or directory.");
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{});
        QVERIFY(frame->sheet());
        QVERIFY(frame->sheet()->isVisible());
        QCOMPARE(frame->sheet()->lineText(),
                 QStringLiteral("Connected to DE-1 on ") + QString::fromStdString(options.linkPath));
        // What the first, dropped link posted before Retry (its port never
        // opened) is still queued: it must not speak for the new link.
        QCoreApplication::processEvents();
        QCOMPARE(frame->sheet()->lineText(),
                 QStringLiteral("Connected to DE-1 on ") + QString::fromStdString(options.linkPath));
        QVERIFY(hasPacket(unit.receivedPackets(), kHostWakeup));
        frame->close();
        QTRY_VERIFY(frame->isShutDown());
        QTRY_COMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
    }

    // From the port's opening until the unit is found or not, the window says
    // where it is connecting; the "not detected" box stands alone, and Retry
    // says it again.
    void eachTryShowsConnectingUntilItKnows()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart);
        parts.notDetectedAnswers = {NotDetectedChoice::Retry, NotDetectedChoice::Quit};
        QStringList atOpen;
        int shownAtTheBox = 0;
        const auto visibleProgress = [] {
            QStringList texts;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<CDownloadDlg*>(w); d && d->isVisible())
                    texts << d->text();
            return texts;
        };
        parts.serialMade = [&](FakeSerialPort& port) {
            port.setOnOpen([&, path = QString::fromStdString(port.devicePath())] {
                if (QThread::currentThread() != qApp->thread())
                    return; // a reopening by the link's reader
                const QStringList texts = visibleProgress();
                atOpen << (texts.size() == 1 && texts[0] == QStringLiteral("Connecting to %1...").arg(path)
                               ? QStringLiteral("connecting")
                               : texts.join(QLatin1Char('|')));
            });
        };
        parts.beforeNotDetectedAnswer = [&] { shownAtTheBox += static_cast<int>(visibleProgress().size()); };
        Watchdog watchdog(60);
        QCOMPARE(frame->create(), 0);
        QCOMPARE(parts.notDetectedTexts.size(), std::size_t(2));
        QCOMPARE(atOpen, (QStringList{QStringLiteral("connecting"), QStringLiteral("connecting")}));
        QCOMPARE(shownAtTheBox, 0);
    }

    // The unit is there but silent (switched off): its link is dropped at
    // "not detected", and after Retry with the unit answering, the sheet
    // says connected and keeps saying it when the queue has run.
    void notDetectedWhileSilentThenRetryShowsTheNewLinksState()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        unit.setSilent(true);
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath());
        parts.notDetectedAnswers = {NotDetectedChoice::Retry};
        parts.beforeNotDetectedAnswer = [&] { unit.setSilent(false); };
        Watchdog watchdog(120);
        QCOMPARE(frame->create(), 0);
        QCOMPARE(parts.notDetectedTexts.size(), std::size_t(1));
        QVERIFY(frame->sheet());
        const QString connected = QStringLiteral("Connected to DE-1 on ") + QString::fromStdString(unit.devicePath());
        QCOMPARE(frame->sheet()->lineText(), connected);
        QCoreApplication::processEvents();
        QCOMPARE(frame->sheet()->lineText(), connected);
        frame->close();
        QTRY_VERIFY(frame->isShutDown());
    }

    void notDetectedOffersTheCommConfigDialogAndRetriesWithItsChoice()
    {
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart);
        parts.notDetectedAnswers = {NotDetectedChoice::CommConfig, NotDetectedChoice::Quit};
        parts.runner->script = [&](QDialog& dialog) {
            dialog.findChild<QComboBox*>(QStringLiteral("port"))->setCurrentIndex(1);
            dialog.accept();
            return dialog.result();
        };
        QCOMPARE(frame->create(), 0);
        QCOMPARE(parts.runner->titles, QStringList{QStringLiteral("Brennmark Comm Config")});
        QCOMPARE(parts.notDetectedTexts.size(), std::size_t(2)); // tried again, then Quit
        QCOMPARE(parts.fakePort->openedPort(), 2);               // COM2, as chosen
        QCOMPARE(parts.settings->readInt(keys::kComm, keys::kCommPort, -7), 1);
        QVERIFY(frame->sheet() == nullptr);
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTRY_COMPARE(closed.count(), 1);
    }

    // A first run with --port: the Comm Config dialog says which device the
    // run uses; after "not detected", a port chosen there is the one tried.
    void withPortTheDialogNamesTheDeviceAndAPortChosenAfterNotDetectedIsTried()
    {
        FrameParts parts;
        MainFrameOptions options;
        options.device = "/dev/ttyUSB7";
        options.deviceNote = QStringLiteral("given with --port");
        auto frame = makeFrame(parts, nullptr, {}, false, {}, options); // a first run: the dialog shows
        parts.notDetectedAnswers = {NotDetectedChoice::CommConfig, NotDetectedChoice::Quit};
        QStringList inUse;
        int dialogs = 0;
        parts.runner->script = [&](QDialog& dialog) {
            QString shown;
            for (QLabel* label : dialog.findChildren<QLabel*>())
                if (label->isVisibleTo(&dialog) && label->text().startsWith(QStringLiteral("This run uses")))
                    shown = label->text();
            inUse << shown;
            if (++dialogs == 2)
                dialog.findChild<QComboBox*>(QStringLiteral("port"))->setCurrentIndex(2);
            dialog.accept();
            return dialog.result();
        };
        QCOMPARE(frame->create(), 0);
        QCOMPARE(inUse, (QStringList{QStringLiteral("This run uses /dev/ttyUSB7 (given with --port)."),
                                     QStringLiteral("This run uses /dev/ttyUSB7 (given with --port).")}));
        QCOMPARE(parts.devicesGiven, (std::vector<std::string>{"/dev/ttyUSB7", ""}));
        QCOMPARE(parts.fakePort->openedPort(), 3); // COM3, as chosen
        QCOMPARE(frame->deviceNote(), QString());
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTRY_COMPARE(closed.count(), 1);
    }

    void aCloseWhileAMessageBoxIsUpWaitsForItsAnswer()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath(), /*realPrompt=*/true);
        QCOMPARE(frame->create(), 0);
        QVERIFY(frame->sheet());

        // The box runs its own loop: the test acts from timers inside it.
        bool answered = false;
        bool heldWhileUp = false;
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTimer::singleShot(0, frame.get(), [&] {
            frame->prompt().ask("Failed to open file!");
            answered = true;
        });
        QTimer::singleShot(200, frame.get(), [&] { frame->postClose(); }); // as the sheet's close box does
        QTimer::singleShot(600, frame.get(), [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            heldWhileUp = box && box->isVisible() && !frame->isShutDown() && closed.count() == 0;
            if (box)
                box->button(QMessageBox::Ok)->click();
        });
        QTRY_VERIFY(answered);
        QVERIFY(heldWhileUp);
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(frame->control() == nullptr);
        QTRY_COMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
    }

    void aCloseAsABoxIsAnsweredWaitsUntilItsLoopHasReturned()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath(), /*realPrompt=*/true);
        QCOMPARE(frame->create(), 0);
        QVERIFY(frame->sheet());

        // The close arrives in the moment the box is answered: it is hidden
        // (no longer the active modal widget) but its exec() has not returned.
        // Tearing the sheet down then would free the box under its own loop.
        bool answered = false;
        bool closedUnderTheBox = false;
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        QTimer::singleShot(0, frame.get(), [&] {
            frame->prompt().ask("Failed to open file!");
            answered = true;
        });
        QTimer::singleShot(300, frame.get(), [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            QObject::connect(box, &QDialog::finished, frame.get(), [&] {
                frame->close();
                closedUnderTheBox = closed.count() > 0;
            });
            box->button(QMessageBox::Ok)->click();
        });
        QTRY_VERIFY(answered);
        QVERIFY(!closedUnderTheBox);
        QTRY_COMPARE(closed.count(), 1);
        QTRY_COMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
    }

    void aCloseDuringStartUpEndsItAfterTheCurrentStep()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        auto frame = makeFrame(parts, quietStart, unit.devicePath()); // no cache: a long download
        Watchdog watchdog(60);
        // A signal's close arrives while the download runs (the link is fast
        // enough that a fixed delay could miss it).
        QTimer midDownload;
        QObject::connect(&midDownload, &QTimer::timeout, frame.get(), [&] {
            CQuorControl* link = frame->control();
            if (link && link->state().ReloadDefinitions && link->state().CommandsSent >= 40) {
                midDownload.stop();
                frame->close();
            }
        });
        midDownload.start(2);
        QSignalSpy closed(frame.get(), &CMainFrame::closed);
        const auto began = Clock::now();
        QCOMPARE(frame->create(), 0);
        QVERIFY(Clock::now() - began < std::chrono::seconds(5));
        QVERIFY(frame->sheet() == nullptr);
        QCOMPARE(parts.prompt->texts(), std::vector<std::string>{}); // no time-out message
        QTRY_COMPARE(closed.count(), 1);
        // The download's chain ended before the goodbye, and is asked for again.
        QTRY_COMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
        QTest::qWait(300);
        QCOMPARE(lastTwo(unit.receivedPackets()), (std::vector<Bytes>{kFrontPanelOff, kHostSleep}));
        QCOMPARE(parts.settings->readInt(keys::kComm, keys::kForceDownload, -7), 1);
    }

    void aRomPromptDuringTheStartupWaitIsShownAndAnswered()
    {
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        FrameParts parts;
        // A cache from another ROM: no download is asked for, but the unit's
        // configuration makes the receiver prompt in the middle of the wait.
        auto frame = makeFrame(
            parts,
            [](InMemorySettings& s) {
                quietStart(s);
                s.writeInt(keys::kCacheParamMax, "0x00", 40);
                s.writeString(keys::kCacheUnitConfig, keys::kTimeStamp, "00/00/00 00:00");
                s.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, "00/00/00 00:00");
            },
            unit.devicePath(), /*realPrompt=*/true);
        BoxClicker clicker;
        Watchdog watchdog(120);

        QCOMPARE(frame->create(), 0);

        const int rom = clicker.texts.indexOf(QStringLiteral("ROM Timestamp mismatch. About to reload internal variables."));
        QVERIFY(rom >= 0);
        // Shown from the wait itself, not left until a later message box ran
        // the event loop (which is how a blocked wait would look).
        QCOMPARE(clicker.openBoxes[rom], 1);
        // Answered while the UI thread waited: the download went on from there.
        QCOMPARE(parts.settings->readString(keys::kCacheUnitConfig, keys::kTimeStamp, ""),
                 std::string("99/03/09 18:34"));
        QVERIFY(frame->sheet());
        frame->close();
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
