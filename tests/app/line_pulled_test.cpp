// The bad day in the main window: the line pulled in the middle of a Save and
// of a Restore started from the Info page's buttons, against the simulated
// unit on a real pseudo-terminal. The file being replaced stays as it was, one
// message is shown and no more, the status line says what happened, and the
// unit brought back at the same path is greeted and read again without input.
#include "link/packet.h"
#include "link/quor_control.h"
#include "tests/app/app_rig.h"
#include "tests/link/integration/integration_support.h"
#include "ui/control_sheet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace bm;
using namespace bm::test;

namespace {

// Generous bounds: a sanitizer build is several times slower.
constexpr int kActionLimitMs = 30000;
constexpr int kReconnectLimitMs = 15000;

using Bytes = std::vector<std::uint8_t>;

bool hasCode(const std::vector<Bytes>& packets, std::uint8_t code)
{
    return std::any_of(packets.begin(), packets.end(),
                       [&](const Bytes& p) { return p.size() > 2 && p[2] == code; });
}

// The main window on a unit at a path of our own (a symbolic link that goes
// with the unit), so the path really is missing while the unit is away.
struct PulledLine {
    QTemporaryDir dir;
    std::string device = dir.filePath(QStringLiteral("ttyRidaziv")).toStdString();
    std::unique_ptr<sim::SimServer> unit;
    FrameParts parts;
    std::unique_ptr<CMainFrame> frame;

    ~PulledLine()
    {
        if (frame)
            frame->close();
    }

    bool startUnit()
    {
        sim::SimOptions o = fastSim();
        o.linkPath = device;
        unit = std::make_unique<sim::SimServer>(o);
        return unit->start();
    }
    bool start()
    {
        if (!startUnit())
            return false;
        frame = makeFrame(parts, [](InMemorySettings& s) { quietStart(s); }, device);
        return frame->create() == 0 && frame->sheet() != nullptr;
    }
    CGeneralControlSheet& sheet() { return *frame->sheet(); }
    QPushButton* button(const char* name)
    {
        return frame->pages().info->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QSlider* volume() { return frame->pages().general->findChild<QSlider*>(QStringLiteral("volumeSlider")); }
    // Clicks and says how long the click took to return.
    qint64 click(const char* name)
    {
        QElapsedTimer t;
        t.start();
        button(name)->click();
        return t.elapsed();
    }
    QString lostText() const
    {
        return QStringLiteral("Line to DE-1 on %1 lost: controls are off until it is back")
            .arg(QString::fromStdString(device));
    }
};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class LinePulledTest : public QObject {
    Q_OBJECT
private slots:
    void lineLostDuringASaveKeepsTheOldFile()
    {
        PulledLine p;
        QVERIFY(p.start());
        const QString folder = p.dir.filePath(QStringLiteral("configs"));
        QVERIFY(QDir().mkpath(folder));
        const QString file = folder + QStringLiteral("/unit.lex");
        // Bytes past a NUL and a high byte; sizeof less the literal's own NUL.
        static const char kOld[] = "an earlier configuration, kept byte for byte\n\0\x01\xff";
        const QByteArray old(kOld, sizeof kOld - 1);
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(old), qint64(old.size()));
        }

        // Identity, eight input names, custom name and the parameter values
        // are answered (the header is in the temporary file by then); the line
        // goes at the second effect record.
        p.unit->setDropAfterPackets(12);
        p.parts.files->scriptPath(file.toStdString());
        const qint64 took = p.click("saveConfig");
        QVERIFY2(took < kActionLimitMs, qPrintable(QString::number(took)));
        QVERIFY(!p.unit->serving()); // the line really went during the save
        p.unit->stop();              // and the path with it

        QCOMPARE(readAll(file), old);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{QStringLiteral("unit.lex")});
        QCOMPARE(p.sheet().outcomeText(), QStringLiteral("Configuration not saved"));
        QTRY_COMPARE_WITH_TIMEOUT(p.sheet().lineState(), LineState::Lost, 5000);
        QCOMPARE(p.sheet().lineText(), p.lostText());
        QVERIFY(!p.button("saveConfig")->isEnabled());

        // Reopen attempts at the missing path ask nobody anything.
        QTest::qWait(2500);
        QCOMPARE(p.parts.prompt->texts(), (std::vector<std::string>{"Failed to save configuration!"}));
        QCOMPARE(p.sheet().lineState(), LineState::Lost);
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void lineLostDuringARestoreThenTheUnitIsBack()
    {
        PulledLine p;
        QVERIFY(p.start());
        const QString file = p.dir.filePath(QStringLiteral("unit.lex"));
        p.parts.files->scriptPath(file.toStdString());
        p.button("saveConfig")->click();
        QCOMPARE(p.sheet().outcomeText(), QStringLiteral("Configuration saved to ") + file);
        p.parts.prompt->clear();

        // The first three input names are written, the line goes at the fourth.
        p.unit->setDropAfterPackets(3);
        p.parts.files->scriptPath(file.toStdString());
        const qint64 took = p.click("restoreConfig");
        QVERIFY2(took < kActionLimitMs, qPrintable(QString::number(took)));
        QVERIFY(!p.unit->serving());
        p.unit->stop();

        QCOMPARE(p.sheet().outcomeText(), QStringLiteral("Configuration not restored"));
        QTRY_COMPARE_WITH_TIMEOUT(p.sheet().lineState(), LineState::Lost, 5000);
        QCOMPARE(p.sheet().lineText(), p.lostText());
        QVERIFY(!p.volume()->isEnabled());
        QTest::qWait(1500); // a few reopen attempts at the missing path
        QCOMPARE(p.parts.prompt->texts(), (std::vector<std::string>{"Failed to restore configuration!"}));

        // Back at the same path: greeted and read again, nobody asked, and
        // nothing of the abandoned restore reaches it.
        QVERIFY(p.startUnit());
        QTRY_COMPARE_WITH_TIMEOUT(p.sheet().lineState(), LineState::Connected, kReconnectLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(p.frame->control() && !p.frame->control()->state().StatusSweepActive,
                                 kReconnectLimitMs);
        QTRY_VERIFY_WITH_TIMEOUT(p.volume()->isEnabled(), 5000);
        QVERIFY(p.button("saveConfig")->isEnabled());
        QVERIFY(p.button("restoreConfig")->isEnabled());
        QTest::qWait(300); // anything late would arrive now

        const std::vector<Bytes> got = p.unit->receivedPackets();
        QVERIFY(got.size() >= 3);
        QVERIFY(got[0] == bytesOf(framePacket(HOST_WAKEUP)));
        QVERIFY(got[1] == bytesOf(framePacket(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8})));
        QVERIFY(got[2] == bytesOf(framePacket(DC_CMD_GET_SYS_STATUS)));
        QVERIFY(!hasCode(got, DC_CMD_SET_INPUT_NAME));
        QVERIFY(!hasCode(got, DC_CMD_SET_CUST_NAME));
        QVERIFY(!hasCode(got, DC_CMD_SET_SYS_PARAM_VALUES));
        QCOMPARE(p.parts.prompt->count(), std::size_t(1));
        QCOMPARE(p.sheet().lineText(), QStringLiteral("Connected to DE-1 on %1").arg(QString::fromStdString(p.device)));
    }
};

QTEST_MAIN(LinePulledTest)
#include "line_pulled_test.moc"
