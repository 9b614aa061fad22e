// SIGTERM and SIGINT end the real brennmark program as closing its window does:
// the program runs against the simulated unit on a pseudo-terminal, with its
// trace on, and the unit must see the goodbye (front-panel reports off, then
// HOST_SLEEP) as its last packets, with exit code 0, within a few seconds;
// both once the control sheet is up and in the middle of a definition download.
#include "link/packet.h"
#include "platform/qt_settings.h"
#include "platform/settings_keys.h"
#include "tests/app/app_rig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace bm;
using namespace bm::test;

// Read by ThreadSanitizer at start (ignored by other builds): QProcess's child
// of this multi-threaded test does nothing but exec between fork and exec, so
// the fork need not be fatal. TSAN_OPTIONS still adds the suppressions.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}

namespace {

const Bytes kFrontPanelOff = packet(DC_CMD_SET_FPD_CTRL, {0x00, 0x00, 0x00, 0x32});
const Bytes kFrontPanelOn = packet(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8});
const Bytes kHostSleep = packet(HOST_SLEEP);

std::size_t countOf(const sim::SimServer& unit, const Bytes& wanted)
{
    const auto seen = unit.receivedPackets();
    return static_cast<std::size_t>(std::count(seen.begin(), seen.end(), wanted));
}

bool endsWithGoodbye(const sim::SimServer& unit)
{
    const auto seen = unit.receivedPackets();
    return seen.size() >= 2 && seen[seen.size() - 2] == kFrontPanelOff && seen.back() == kHostSleep;
}

// The program with its own settings folder: COM1 without the dialog, quick
// pacing, no definition cache (so the first start downloads every definition).
struct Program {
    QTemporaryDir home;
    QProcess process;
    QString trace;

    void start(const std::string& device)
    {
        {
            QSettingsStore store(home.filePath(QStringLiteral("Tollvane/Brennmark.conf")));
            storeFastTiming(store);
            store.writeInt(keys::kComm, keys::kCommPort, 0);
            store.writeInt(keys::kComm, keys::kDontShow, 1);
        }
        trace = home.filePath(QStringLiteral("trace.txt"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/brennmark"),
                      {QStringLiteral("--port"), QString::fromStdString(device), QStringLiteral("--trace"), trace});
    }
    QByteArray traceText() const
    {
        QFile f(trace);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

} // namespace

class TerminationTest : public QObject {
    Q_OBJECT
private slots:
    void aSignalClosesTheProgramWithItsGoodbye_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("midDownload");
        QTest::newRow("SIGTERM, sheet up") << int(SIGTERM) << false;
        QTest::newRow("SIGINT, sheet up") << int(SIGINT) << false;
        QTest::newRow("SIGTERM, mid-download") << int(SIGTERM) << true;
    }
    void aSignalClosesTheProgramWithItsGoodbye()
    {
        QFETCH(int, signal);
        QFETCH(bool, midDownload);
        sim::SimServer unit(fastSim());
        QVERIFY(unit.start());
        Program program;
        QVERIFY(program.home.isValid());
        program.start(unit.devicePath());
        QVERIFY(program.process.waitForStarted(10000));

        if (midDownload) {
            // Some way into the parameter definitions.
            QTRY_VERIFY_WITH_TIMEOUT(unit.receivedPackets().size() > 30, 30000);
        } else {
            // The Info page's own "front panel on", after the greeting's: the sheet is up.
            QTRY_VERIFY_WITH_TIMEOUT(countOf(unit, kFrontPanelOn) >= 2, 60000);
        }
        QVERIFY(!endsWithGoodbye(unit));

        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(program.process.processId()), signal);
        QVERIFY(program.process.waitForFinished(10000));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);

        QTRY_VERIFY(endsWithGoodbye(unit));
        const QByteArray trace = program.traceText();
        QVERIFY(trace.contains("(HOST_SLEEP)"));
        QVERIFY(trace.lastIndexOf("(HOST_SLEEP)") > trace.lastIndexOf("(DC_CMD_SET_FPD_CTRL)"));
    }
};

QTEST_GUILESS_MAIN(TerminationTest)
#include "termination_test.moc"
