// The control sheet's status line against the simulated unit: the text for
// each line state the link posts, the controls that would send switched off
// while the line is lost or being reconnected (and exactly those switched on
// again), and what the Save, Restore and Update All buttons report there.
#include "link/quor_control.h"
#include "platform/qt_owner_window.h"
#include "tests/app/app_rig.h"
#include "ui/control_sheet.h"

#include <QDir>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <map>

using namespace bm;
using namespace bm::test;

namespace {

struct RunningFrame {
    sim::SimServer unit{fastSim()};
    FrameParts parts;
    std::unique_ptr<CMainFrame> frame;

    bool start()
    {
        if (!unit.start())
            return false;
        frame = makeFrame(parts, [](InMemorySettings& s) {
            quietStart(s);
        }, unit.devicePath());
        return frame->create() == 0 && frame->sheet() != nullptr;
    }
    CGeneralControlSheet& sheet() { return *frame->sheet(); }
    QString device() const { return QString::fromStdString(unit.devicePath()); }
    void post(LineState state)
    {
        frame->ownerWindow().postNotification({WM_LINE_STATE, static_cast<std::uint32_t>(state), 0, {}});
    }
    template <typename T>
    T* find(ControlPage* page, const char* name)
    {
        return page->findChild<T*>(QString::fromLatin1(name));
    }
};

} // namespace

class StatusLineTest : public QObject {
    Q_OBJECT
private slots:
    void eachLineStateHasItsText_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text"); // %1: the device
        QTest::addColumn<bool>("controlsOn");
        QTest::newRow("asleep") << int(LineState::Asleep) << "DE-1 on %1 is asleep" << true;
        QTest::newRow("not answering") << int(LineState::NotAnswering) << "DE-1 on %1 is not answering" << true;
        QTest::newRow("lost") << int(LineState::Lost)
                              << "Line to DE-1 on %1 lost: controls are off until it is back" << false;
        QTest::newRow("reconnecting") << int(LineState::Reconnecting) << "Reconnecting to DE-1 on %1..." << false;
        QTest::newRow("connected") << int(LineState::Connected) << "Connected to DE-1 on %1" << true;
    }
    void eachLineStateHasItsText()
    {
        QFETCH(int, state);
        QFETCH(QString, text);
        QFETCH(bool, controlsOn);
        RunningFrame f;
        QVERIFY(f.start());
        QCOMPARE(f.sheet().lineText(), QStringLiteral("Connected to DE-1 on %1").arg(f.device()));

        f.post(static_cast<LineState>(state));
        QTRY_COMPARE(f.sheet().lineText(), text.arg(f.device()));
        QCOMPARE(f.sheet().sendingAllowed(), controlsOn);
        const PageSet& pages = f.frame->pages();
        QCOMPARE(f.find<QSlider>(pages.general, "volumeSlider")->isEnabled(), controlsOn);
        QCOMPARE(f.find<QPushButton>(pages.info, "saveConfig")->isEnabled(), controlsOn);
        QCOMPARE(f.find<QPushButton>(pages.info, "resetConfig")->isEnabled(), controlsOn);
        // About and Comm Config send nothing: they stay usable.
        QVERIFY(f.find<QPushButton>(pages.info, "about")->isEnabled());
        QVERIFY(f.find<QPushButton>(pages.info, "commConfig")->isEnabled());
        f.frame->close();
    }

    void controlsComeBackAsThePagesLeftThem()
    {
        RunningFrame f;
        QVERIFY(f.start());
        const PageSet& pages = f.frame->pages();
        f.sheet().setActiveIndex(2); // Speaker Config: "Update" is off until a choice is made
        auto* update = f.find<QPushButton>(pages.speakers, "update");
        QVERIFY(!update->isEnabled());
        auto* volume = f.find<QSlider>(pages.general, "volumeSlider");

        f.post(LineState::Lost);
        QTRY_VERIFY(!volume->isEnabled());
        f.post(LineState::Reconnecting); // still off, and nothing counted twice
        QTRY_COMPARE(f.sheet().lineState(), LineState::Reconnecting);
        QVERIFY(!volume->isEnabled());
        f.post(LineState::Connected);
        QTRY_VERIFY(volume->isEnabled());
        QVERIFY(!update->isEnabled()); // the page's own choice, kept
        for (ControlPage* page : pages.tabOrder())
            QVERIFY(page->isEnabled());
        f.frame->close();
    }

    void savesRestoresAndUpdatesReportTheirOutcome()
    {
        RunningFrame f;
        QVERIFY(f.start());
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("unit.lex"));
        auto* info = f.frame->pages().info;

        f.parts.files->scriptPath(file.toStdString());
        f.find<QPushButton>(info, "saveConfig")->click();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Configuration saved to ") + file);
        QVERIFY(QFile::exists(file));

        f.parts.files->scriptPath(file.toStdString());
        f.find<QPushButton>(info, "restoreConfig")->click();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Restored from ") + file);

        // A cancelled dialog leaves the line as it was.
        f.parts.files->scriptCancel();
        f.find<QPushButton>(info, "saveConfig")->click();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Restored from ") + file);

        f.parts.files->scriptPath(dir.filePath(QStringLiteral("no/such/folder/x.lex")).toStdString());
        f.find<QPushButton>(info, "saveConfig")->click();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Configuration not saved"));
        QVERIFY(QApplication::overrideCursor() == nullptr); // the wait cursor is gone again

        // The sweep outlasts the button's half second: the line says so, then
        // says it is done once the main window sees the sweep's end.
        f.find<QPushButton>(info, "updateAll")->click();
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(f.sheet().outcomeText() == QStringLiteral("Update All: reading the unit...") ||
                f.sheet().outcomeText() == QStringLiteral("Update All done"));
        QTRY_COMPARE(f.sheet().outcomeText(), QStringLiteral("Update All done"));

        f.sheet().setActiveIndex(2); // Speaker Config
        auto* speakers = f.frame->pages().speakers;
        f.find<QRadioButton>(speakers, "front3")->click(); // "Large"
        f.find<QPushButton>(speakers, "update")->click();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Speaker configuration written"));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        f.frame->close();
    }

    // An outcome that waits for the sweep is replaced when the line goes: it
    // never stays on claiming to read a unit that is gone, and the sweep of
    // the reconnection does not call it done.
    void anOutcomeInProgressDoesNotOutliveTheLine()
    {
        RunningFrame f;
        QVERIFY(f.start());
        f.sheet().showOutcome(QStringLiteral("Update All: reading the unit..."), QStringLiteral("Update All done"));
        f.sheet().setLineState(LineState::Lost, QStringLiteral("DE-1"), f.device());
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Update All: not finished, the line was lost"));
        f.sheet().setLineState(LineState::Connected, QStringLiteral("DE-1"), f.device());
        f.sheet().sweepEnded();
        QCOMPARE(f.sheet().outcomeText(), QStringLiteral("Update All: not finished, the line was lost"));
        f.frame->close();
    }

    // An outcome belongs to the line state it happened in: a change of state
    // replaces it, and so does the next outcome; a "not finished" notice the
    // change itself gave stands until the next outcome.
    void outcomesGiveWayToTheLineAndTheNextOutcome_data()
    {
        QTest::addColumn<QStringList>("steps"); // "outcome:TEXT", "line:STATE", "sweep"
        QTest::addColumn<QString>("shown");
        QTest::newRow("lost") << QStringList{"outcome:Speaker configuration written", "line:lost"} << "";
        QTest::newRow("asleep") << QStringList{"outcome:Restored from a.lex", "line:asleep"} << "";
        QTest::newRow("same state") << QStringList{"outcome:Restored from a.lex", "line:connected"}
                                    << "Restored from a.lex";
        QTest::newRow("next outcome") << QStringList{"outcome:Speaker configuration written",
                                                     "outcome:Configuration saved to /tmp/b.lex"}
                                      << "Configuration saved to /tmp/b.lex";
        QTest::newRow("lost and back") << QStringList{"outcome:Update All done", "line:lost", "line:connected"}
                                       << "";
        QTest::newRow("cut short, back")
            << QStringList{"pending:Update All", "line:lost", "line:connected", "sweep"}
            << "Update All: not finished, the line was lost";
        QTest::newRow("cut short, then saved")
            << QStringList{"pending:Update All", "line:lost", "line:connected", "outcome:Configuration saved to c.lex"}
            << "Configuration saved to c.lex";
    }
    void outcomesGiveWayToTheLineAndTheNextOutcome()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, shown);
        CGeneralControlSheet sheet(QStringLiteral("test"), {});
        const std::map<QString, LineState> states{{"lost", LineState::Lost},
                                                  {"asleep", LineState::Asleep},
                                                  {"connected", LineState::Connected}};
        sheet.setLineState(LineState::Connected, QStringLiteral("DE-1"), QStringLiteral("/dev/x"));
        for (const QString& step : steps) {
            const QString what = step.section(QLatin1Char(':'), 0, 0);
            const QString text = step.section(QLatin1Char(':'), 1);
            if (what == QStringLiteral("outcome"))
                sheet.showOutcome(text);
            else if (what == QStringLiteral("pending"))
                sheet.showOutcome(text + QStringLiteral(": reading the unit..."), text + QStringLiteral(" done"));
            else if (what == QStringLiteral("line"))
                sheet.setLineState(states.at(text), QStringLiteral("DE-1"), QStringLiteral("/dev/x"));
            else
                sheet.sweepEnded();
        }
        QCOMPARE(sheet.outcomeText(), shown);
    }
};

QTEST_MAIN(StatusLineTest)
#include "status_line_test.moc"
