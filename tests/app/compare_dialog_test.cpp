// The Info page's "Compare...": a saved file against the simulated unit, the
// differences listed, only the ticked ones written back, nothing for a
// dialog that is closed or a file of another ROM.
#include "app/compare_dialog.h"
#include "config/config_actions.h"
#include "app/info_page.h"
#include "app_rig.h"
#include "model/control_help.h"
#include "model/controls.h"
#include "tests/support/fifo_watchdog.h"

#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

using namespace bm;
using namespace bm::test;

namespace {

std::uint8_t paramOf(const sim::UnitSnapshot& snap, const std::string& name)
{
    for (std::size_t id = 0; id < snap.paramNames.size(); ++id)
        if (snap.paramNames[id] == name)
            return snap.paramValues[id];
    return 0xFF;
}

int rowOf(CCompareDlg& dialog, const QString& label)
{
    for (int row = 0; row < dialog.list()->topLevelItemCount(); ++row)
        if (dialog.list()->topLevelItem(row)->text(0) == label)
            return row;
    return -1;
}

} // namespace

class CompareDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        unit_ = std::make_unique<sim::SimServer>(fastSim());
        QVERIFY(unit_->start());
        frame_ = makeFrame(parts_, quietStart, unit_->devicePath());
        QCOMPARE(frame_->create(), 0);
        QVERIFY(frame_->model());
        folder_ = QDir::tempPath().toStdString() + "/bm-compare-" + std::to_string(::getpid());
        QDir().mkpath(QString::fromStdString(folder_));
        files_.scriptPath(folder_ + "/saved.lex");
        SaveConfigAction(*frame_->model(), files_, *parts_.prompt, *parts_.settings);
        QTRY_VERIFY_WITH_TIMEOUT(!frame_->control()->state().StatusSweepActive.load(), 10000);
        parts_.prompt->clear();
        saved_ = unit_->snapshot();
    }

    void cleanupTestCase()
    {
        frame_.reset();
        unit_.reset();
        QDir(QString::fromStdString(folder_)).removeRecursively();
    }

    void theButtonIsOnTheInfoPage()
    {
        auto* button = frame_->pages().info->findChild<QPushButton*>(QStringLiteral("compareConfig"));
        QVERIFY(button);
        QCOMPARE(test::captionOf(button), QStringLiteral("Compare..."));
        QVERIFY(button->isEnabled());
    }

    void closingTheDialogWritesNothing()
    {
        QVERIFY(unit_->command("set VOLUME 71"));
        unit_->clearReceived();
        QStringList labels;
        parts_.runner->script = [&](QDialog& d) {
            auto* dialog = qobject_cast<CCompareDlg*>(&d);
            for (int row = 0; dialog && row < dialog->list()->topLevelItemCount(); ++row)
                labels << dialog->list()->topLevelItem(row)->text(0);
            return int(QDialog::Rejected);
        };
        files_.scriptPath(folder_ + "/saved.lex");
        CompareConfigAction(*frame_->model(), files_, *parts_.runner, *parts_.prompt, *parts_.settings);
        QCOMPARE(labels, QStringList{"Master volume"}); // the controls table's words
        QCOMPARE(parts_.prompt->texts(), std::vector<std::string>{});
        for (const Bytes& p : unit_->receivedPackets())
            QVERIFY(p[2] != DC_CMD_SET_SYS_PARAM_VALUES && p[2] != DC_CMD_SET_INPUT_NAME);
        QCOMPARE(paramOf(unit_->snapshot(), "VOLUME"), std::uint8_t(71));
    }

    void onlyTheTickedDifferencesGoBack()
    {
        for (const char* line : {"set VOLUME 71", "set SUB_LOWPASS 3", "set OUT_ADJ_SUB 17"})
            QVERIFY(unit_->command(line));
        QTRY_COMPARE(paramOf(unit_->snapshot(), "OUT_ADJ_SUB"), std::uint8_t(17));
        bool buttonOffBeforeTicking = false;
        QStringList shown;
        parts_.runner->script = [&](QDialog& d) {
            auto* dialog = qobject_cast<CCompareDlg*>(&d);
            if (!dialog)
                return int(QDialog::Rejected);
            auto* restore = dialog->findChild<QPushButton*>(QStringLiteral("restoreTicked"));
            buttonOffBeforeTicking = restore && !restore->isEnabled();
            for (int row = 0; row < dialog->list()->topLevelItemCount(); ++row) {
                const QTreeWidgetItem* item = dialog->list()->topLevelItem(row);
                shown << item->text(0) + "|" + item->text(1) + "|" + item->text(2);
            }
            dialog->setTicked(rowOf(*dialog, "Master volume"), true);
            // The crossover is the subwoofer setting's, not a parameter of its own.
            const auto subwoofer = controls::findControl("subwoofer");
            if (!subwoofer || rowOf(*dialog, "SUB_LOWPASS") != -1)
                return int(QDialog::Rejected);
            dialog->setTicked(rowOf(*dialog, QString::fromStdString(controls::labelOf(*subwoofer))), true);
            return restore && restore->isEnabled() ? int(QDialog::Accepted) : int(QDialog::Rejected);
        };
        files_.scriptPath(folder_ + "/saved.lex");
        const std::string outcome =
            CompareConfigAction(*frame_->model(), files_, *parts_.runner, *parts_.prompt, *parts_.settings);
        QCOMPARE(outcome, std::string("Restored the ticked differences from saved.lex"));

        QVERIFY(buttonOffBeforeTicking);
        const QString volume = QStringLiteral("Master volume|%1 dB|-9 dB").arg(paramOf(saved_, "VOLUME") - 80);
        QVERIFY2(shown.contains(volume), qPrintable(shown.join(", ")));
        QVERIFY2(shown.contains(QStringLiteral("Subwoofer trim|+0.0 dB|-1.5 dB")),
                 qPrintable(shown.join(", ")));
        QCOMPARE(shown.size(), 3);
        QCOMPARE(parts_.prompt->texts(), std::vector<std::string>{});
        const sim::UnitSnapshot now = unit_->snapshot();
        QCOMPARE(paramOf(now, "VOLUME"), paramOf(saved_, "VOLUME"));
        QCOMPARE(paramOf(now, "SUB_LOWPASS"), paramOf(saved_, "SUB_LOWPASS"));
        QCOMPARE(paramOf(now, "OUT_ADJ_SUB"), std::uint8_t(17)); // not ticked, not restored
        for (std::size_t id = 0; id < now.paramValues.size(); ++id)
            if (now.paramNames[id] != "VOLUME" && now.paramNames[id] != "SUB_LOWPASS" &&
                now.paramNames[id] != "OUT_ADJ_SUB")
                QCOMPARE(now.paramValues[id], saved_.paramValues[id]);
    }

    void aFileOfAnotherRomIsNotCompared()
    {
        std::ifstream in(folder_ + "/saved.lex", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes[17] = '0';
        std::ofstream(folder_ + "/other.lex", std::ios::binary) << bytes;
        int runs = 0;
        parts_.runner->script = [&](QDialog&) {
            ++runs;
            return int(QDialog::Rejected);
        };
        parts_.prompt->clear();
        files_.scriptPath(folder_ + "/other.lex");
        const std::string outcome =
            CompareConfigAction(*frame_->model(), files_, *parts_.runner, *parts_.prompt, *parts_.settings);
        QCOMPARE(runs, 0);
        const auto texts = parts_.prompt->texts();
        QCOMPARE(texts.size(), std::size_t(1));
        const std::string said = "Configuration not compared: different ROM timestamps";
        QVERIFY2(texts[0].rfind(said, 0) == 0, texts[0].c_str());
        QVERIFY2(outcome.rfind(said, 0) == 0, outcome.c_str()); // and on the status line
    }

    // A FIFO, a cut file: refused at once with the file's name and the reason,
    // no dialog, nothing read from or written to the unit.
    void aFileTheLoaderRefusesIsNotCompared()
    {
        const std::string fifo = folder_ + "/fifo.lex";
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        std::ifstream in(folder_ + "/saved.lex", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.pop_back();
        std::ofstream(folder_ + "/cut.lex", std::ios::binary) << bytes;
        const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
            {fifo, {"Cannot read " + fifo + ": not a regular file", "Failed to open file!"}},
            {folder_ + "/cut.lex", {"Cannot use " + folder_ + "/cut.lex: the file ends 1 byte short of effect "}}};
        for (const auto& [path, texts] : rows) {
            int runs = 0;
            parts_.runner->script = [&](QDialog&) {
                ++runs;
                return int(QDialog::Rejected);
            };
            parts_.prompt->clear();
            QTRY_VERIFY_WITH_TIMEOUT(!frame_->control()->state().StatusSweepActive.load(), 10000);
            unit_->clearReceived();
            files_.scriptPath(path);
            FifoWatchdog watchdog(fifo);
            const std::string outcome =
                CompareConfigAction(*frame_->model(), files_, *parts_.runner, *parts_.prompt, *parts_.settings);
            QVERIFY2(!watchdog.stop(), "the Compare waited on the FIFO");
            QVERIFY2(outcome.rfind("Configuration not compared: " + texts[0], 0) == 0, outcome.c_str());
            QCOMPARE(runs, 0);
            const auto shown = parts_.prompt->texts();
            QCOMPARE(shown.size(), texts.size());
            for (std::size_t i = 0; i < texts.size(); ++i)
                QVERIFY2(shown[i].rfind(texts[i], 0) == 0, shown[i].c_str());
            QVERIFY(unit_->receivedPackets().empty());
        }
    }

    // Last: a unit that stops answering while it is read is "not compared",
    // with why, in a message and as the status line's outcome.
    void aUnitThatCannotBeReadIsNotCompared()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!frame_->control()->state().StatusSweepActive.load(), 10000);
        int runs = 0;
        parts_.runner->script = [&](QDialog&) {
            ++runs;
            return int(QDialog::Rejected);
        };
        parts_.prompt->clear();
        unit_->setSilentAfterPackets(3); // the configuration and two names
        files_.scriptPath(folder_ + "/saved.lex");
        const std::string outcome =
            CompareConfigAction(*frame_->model(), files_, *parts_.runner, *parts_.prompt, *parts_.settings);
        unit_->setSilent(false);
        QCOMPARE(runs, 0);
        const std::string said = "Configuration not compared: the unit's configuration could not be read: ";
        QVERIFY2(outcome.rfind(said, 0) == 0 && outcome.size() > said.size(), outcome.c_str());
        const auto texts = parts_.prompt->texts();
        QVERIFY(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t == outcome + "."; }));
    }

private:
    std::unique_ptr<sim::SimServer> unit_;
    FrameParts parts_;
    std::unique_ptr<CMainFrame> frame_;
    ScriptedFileDialog files_;
    std::string folder_;
    sim::UnitSnapshot saved_;
};

QTEST_MAIN(CompareDialogTest)
#include "compare_dialog_test.moc"
