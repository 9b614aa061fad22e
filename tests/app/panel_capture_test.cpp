// The panel's first start, captured against the simulated unit, replays
// against a fresh panel with no difference: the real brennmark program, once
// with --capture on a live unit and once against ridaziv-sim's replay of that
// capture, each ended by SIGTERM once the control sheet is up.
#include "link/capture_file.h"
#include "link/packet.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "sim/replay.h"
#include "tests/app/app_rig.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace bm;
using namespace bm::test;

extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}

namespace {

const Bytes kFrontPanelOn = packet(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8});

// A fresh panel: its own settings folder, COM1 without the dialog, quick
// pacing, no definition cache.
struct Panel {
    QTemporaryDir home;
    QProcess process;

    void start(const std::string& device, const QStringList& extra = {})
    {
        {
            QSettingsStore store(home.filePath(QStringLiteral("Tollvane/Brennmark.conf")));
            storeFastTiming(store);
            store.writeInt(keys::kComm, keys::kCommPort, 0);
            store.writeInt(keys::kComm, keys::kDontShow, 1);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/brennmark"),
                      QStringList{QStringLiteral("--port"), QString::fromStdString(device)} + extra);
    }
    bool stop()
    {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
};

std::size_t countOf(const sim::SimServer& unit, const Bytes& wanted)
{
    const auto seen = unit.receivedPackets();
    return static_cast<std::size_t>(std::count(seen.begin(), seen.end(), wanted));
}

} // namespace

class PanelCaptureTest : public QObject {
    Q_OBJECT
private slots:
    void aFirstStartReplaysAgainstAFreshPanel()
    {
        QTemporaryDir folder;
        const QString capturePath = folder.filePath(QStringLiteral("first-start.jsonl.gz"));
        {
            sim::SimServer unit(fastSim());
            QVERIFY(unit.start());
            Panel panel;
            panel.start(unit.devicePath(), {QStringLiteral("--capture"), capturePath});
            QVERIFY(panel.process.waitForStarted(10000));
            // The Info page's own "front panel on", after the greeting's: the sheet is up.
            QTRY_VERIFY_WITH_TIMEOUT(countOf(unit, kFrontPanelOn) >= 2, 60000);
            QVERIFY(panel.stop());
        }

        Capture capture;
        CaptureError error;
        QVERIFY2(readCaptureFile(capturePath.toStdString(), capture, error), error.text().c_str());
        const std::size_t recorded = static_cast<std::size_t>(
            std::count_if(capture.events.begin(), capture.events.end(),
                          [](const CaptureEvent& e) { return e.kind == CaptureEvent::Kind::Tx; }));
        QVERIFY(recorded > 100); // the whole download is in it

        sim::ReplayServer replay(capture, {false, folder.filePath(QStringLiteral("unit")).toStdString(), {}});
        std::string startError;
        QVERIFY2(replay.start(startError), startError.c_str());
        Panel fresh;
        fresh.start(replay.devicePath());
        QVERIFY(fresh.process.waitForStarted(10000));
        // Everything up to the goodbye (front-panel reports off, HOST_SLEEP),
        // which the signal brings.
        QTRY_VERIFY_WITH_TIMEOUT(replay.requestsSeen() + 2 >= recorded || replay.differed(), 60000);
        QVERIFY(fresh.stop());
        const std::string difference = replay.stop();
        QVERIFY2(difference.empty(), difference.c_str());
    }
};

QTEST_GUILESS_MAIN(PanelCaptureTest)
#include "panel_capture_test.moc"
