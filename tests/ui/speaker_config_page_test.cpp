// The Speaker Config page: choices change only the model's copy of the
// parameters; "Update" writes them all, reads them back and resends the
// volume. The write sequence runs against the simulated unit.
#include "page_rig.h"
#include "ui/speaker_config_page.h"

#include <QButtonGroup>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <algorithm>

namespace bm {

using test::Bytes;
using test::hex;

class SpeakerConfigPageTest : public QObject {
    Q_OBJECT

    static QRadioButton* radio(QWidget& page, const char* group, int index)
    {
        return test::child<QRadioButton>(page, QString("%1%2").arg(group).arg(index));
    }
    // The checked button's index in a group, or -1.
    static int selected(QWidget& page, const char* group)
    {
        for (int i = 0; i < 5; ++i) {
            auto* button = page.findChild<QRadioButton*>(QString("%1%2").arg(group).arg(i));
            if (button && button->isChecked())
                return i;
        }
        return -1;
    }
    // A click on the button's indicator, as the user makes it.
    static void pick(QRadioButton* button)
    {
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
    }
    static QPushButton* updateButton(QWidget& page) { return test::child<QPushButton>(page, "update"); }

    static std::vector<std::uint8_t> codes(const std::vector<Bytes>& packets)
    {
        std::vector<std::uint8_t> out;
        for (const Bytes& p : packets)
            out.push_back(p.size() > 2 ? p[2] : 0);
        return out;
    }

private slots:
    void choicesChangeOnlyTheModel()
    {
        test::FakeUnitRig rig;
        rig.defineParam(NamedParam::FRONT_SPKR, 50, 1); // small 80 Hz
        rig.defineParam(NamedParam::FRONT_HPASS, 51, 2);
        rig.defineParam(NamedParam::CENTER_SPKR, 52, 2); // large
        rig.defineParam(NamedParam::BSPLIT_SMALL, 53, 0);
        rig.defineParam(NamedParam::BSPLIT, 54, 0);
        rig.defineParam(NamedParam::SIDE_SPKR, 55, 0); // none, so the type reads "Dipole"
        rig.defineParam(NamedParam::SIDE_STD_HPASS, 56, 0);
        rig.defineParam(NamedParam::SIDE_DIPOLE_HPASS, 57, 0);
        rig.defineParam(NamedParam::SIDE_HPASS, 58, 0);
        rig.defineParam(NamedParam::SUBWOOFER, 59, 1); // 120 Hz
        rig.defineParam(NamedParam::SUB_LOWPASS, 60, 3);
        // The rear speakers' slots stay unresolved.

        CSpkrConfig page(rig.context());
        test::showAndActivate(page);
        // Activation asks the unit for every value; this one never answers.
        QCOMPARE(hex(rig.takeSent()), hex({test::packet(0x1A)}));

        QCOMPARE(selected(page, "front"), 1);
        QCOMPARE(selected(page, "center"), 4);
        QCOMPARE(selected(page, "sideSize"), 0);
        QCOMPARE(selected(page, "sideType"), 1);
        QCOMPARE(selected(page, "subwoofer"), 1);
        QCOMPARE(selected(page, "rear"), -1);
        QVERIFY(!updateButton(page)->isEnabled());
        QCOMPARE(radio(page, "front", 3)->text(), QString("Large"));
        QCOMPARE(radio(page, "subwoofer", 3)->text(), QString("40 Hz"));

        const std::uint32_t before = rig.commandsSent();
        pick(radio(page, "rear", 2)); // unresolved: only "Update" changes
        QVERIFY(updateButton(page)->isEnabled());
        pick(radio(page, "front", 3));
        QCOMPARE(rig.model.paramValue(50), std::uint8_t(0));
        QCOMPARE(rig.model.paramValue(51), std::uint8_t(0));
        pick(radio(page, "sideType", 0)); // standard, while no size matches
        QCOMPARE(rig.model.paramValue(55), std::uint8_t(0));
        pick(radio(page, "sideSize", 4)); // large, standard
        QCOMPARE(rig.model.paramValue(55), std::uint8_t(1));
        QCOMPARE(rig.commandsSent(), before);

        // The main window's refreshes leave the pending choices alone.
        page.refresh();
        QVERIFY(updateButton(page)->isEnabled());
        QCOMPARE(selected(page, "front"), 3);
    }

    void updateWritesReadsBackAndResendsTheVolume()
    {
        test::SimUnitRig rig;
        QVERIFY(rig.start());
        const std::uint8_t volume = rig.model.status().Volume;
        QVERIFY(rig.model.namedSlot(NamedParam::FRONT_SPKR) != 0);

        CSpkrConfig page(rig.context());
        test::showAndActivate(page);
        QCOMPARE(selected(page, "front"), rig.model.GetFrontSpeakers());
        QCOMPARE(selected(page, "subwoofer"), rig.model.GetSubwoofer());
        QVERIFY(!updateButton(page)->isEnabled());

        const int front = selected(page, "front") == 3 ? 0 : 3;
        const int sub = selected(page, "subwoofer") == 2 ? 3 : 2;
        pick(radio(page, "front", front));
        pick(radio(page, "subwoofer", sub));
        rig.sim->clearReceived();
        QTest::mouseClick(updateButton(page), Qt::LeftButton);

        // Written, read back, and the volume sent although it did not change.
        // The volume leaves through the writer after the click returns.
        QTRY_COMPARE(codes(rig.sim->receivedPackets()), (std::vector<std::uint8_t>{0x1E, 0x1A, 0x21}));
        const auto received = rig.sim->receivedPackets();
        QCOMPARE(hex({received.back()}), hex({test::packet(0x21, {volume})}));
        QVERIFY(rig.prompt.texts().empty());

        const sim::UnitSnapshot unit = rig.sim->snapshot();
        const std::uint8_t frontId = rig.model.namedSlot(NamedParam::FRONT_SPKR);
        const std::uint8_t subId = rig.model.namedSlot(NamedParam::SUBWOOFER);
        QCOMPARE(unit.paramValues.at(frontId), std::uint8_t(front == 3 ? 0 : 1));
        QCOMPARE(unit.paramValues.at(subId), std::uint8_t(1));
        QCOMPARE(selected(page, "front"), front);
        QCOMPARE(selected(page, "subwoofer"), sub);
        QVERIFY(!updateButton(page)->isEnabled());
    }

    void aWriteThatCannotGoOutIsReportedAsAFailure()
    {
        // Values whose definitions the program does not hold: nothing may be
        // sent, and that is a failure, not a success.
        test::FakeUnitRig rig;
        rig.defineParam(NamedParam::FRONT_SPKR, 1, 1);
        rig.defineParam(NamedParam::FRONT_HPASS, 2, 2);
        rig.model.setParamValueCount(3);
        CSpkrConfig page(rig.context());
        page.refresh();
        rig.takeSent();
        pick(radio(page, "front", 3));
        QTest::mouseClick(updateButton(page), Qt::LeftButton);
        QCOMPARE(rig.prompt.texts(), std::vector<std::string>{"Set System Parameters Failed."});
        for (const Bytes& p : rig.takeSent())
            QVERIFY(p.size() < 3 || p[2] != 0x1E);
        QVERIFY2(page.lastOutcome().startsWith("Speaker configuration not written"),
                 qPrintable(page.lastOutcome()));
    }

    // A write the unit acknowledged without announcing its restart (as some
    // units do, or the line went right after the acknowledgement), or one it
    // did not answer at all (a unit held up, which applies it once it runs
    // again), is neither written nor failed: it is said as it is.
    void aWriteTheUnitDidNotConfirmIsSaidAsNotConfirmed()
    {
        struct Row {
            const char* name;
            bool silent; // the unit answers nothing from the write on
            const char* outcome;
        };
        const Row rows[] = {
            {"acknowledged, no restart", false,
             "Speaker configuration not confirmed: the unit acknowledged the write but did not restart with it"},
            {"not answered", true, "Speaker configuration not confirmed: the unit did not answer the write"},
        };
        for (const Row& row : rows) {
            sim::SimOptions options = test::SimUnitRig::fastOptions();
            options.noWakeupAfterParamWrite = true;
            test::SimUnitRig rig(options);
            QVERIFY(rig.start());
            rig.model.link().setTiming(Timing::RestoreConfigWaitCount, 10);
            rig.model.link().setTiming(Timing::RestoreConfigWaitInterval, 20);
            rig.model.link().setTiming(Timing::RestoreConfigWakeupWaitCount, 10);
            rig.model.link().setTiming(Timing::RestoreConfigWakeupWaitInterval, 20);

            CSpkrConfig page(rig.context());
            test::showAndActivate(page);
            const int front = selected(page, "front") == 3 ? 0 : 3;
            pick(radio(page, "front", front));
            if (row.silent)
                rig.sim->setSilent(true);
            QTest::mouseClick(updateButton(page), Qt::LeftButton);

            const std::vector<std::string> texts = rig.prompt.texts();
            QVERIFY2(std::find(texts.begin(), texts.end(), "Set System Parameters Failed.") == texts.end(), row.name);
            QVERIFY2(page.lastOutcome().startsWith(QString::fromLatin1(row.outcome)),
                     qPrintable(QString::fromLatin1(row.name) + ": " + page.lastOutcome()));
            if (!row.silent)
                QCOMPARE(selected(page, "front"), front); // read back: the unit took it
        }
    }

    void aRefusedWriteIsReportedAndTheVolumeStillGoes()
    {
        sim::SimOptions options = test::SimUnitRig::fastOptions();
        test::SimUnitRig rig(options);
        QVERIFY(rig.start());
        rig.sim->setNakCommand(0x1E);
        const std::uint8_t volume = rig.model.status().Volume;

        CSpkrConfig page(rig.context());
        test::showAndActivate(page);
        const int front = selected(page, "front") == 3 ? 0 : 3;
        pick(radio(page, "front", front));
        rig.sim->clearReceived();
        QTest::mouseClick(updateButton(page), Qt::LeftButton);

        QCOMPARE(rig.prompt.texts(), std::vector<std::string>{"Set System Parameters Failed."});
        // The volume leaves through the writer after the click returns.
        QTRY_COMPARE(codes(rig.sim->receivedPackets()), (std::vector<std::uint8_t>{0x1E, 0x1A, 0x21}));
        const auto received = rig.sim->receivedPackets();
        QCOMPARE(hex({received.back()}), hex({test::packet(0x21, {volume})}));
        // Read back from the unit, which kept its old speakers.
        QVERIFY(selected(page, "front") != front);
        QVERIFY(!updateButton(page)->isEnabled());
    }

    void leavingTheTabDiscardsChoices()
    {
        test::SimUnitRig rig;
        QVERIFY(rig.start());
        CSpkrConfig page(rig.context());
        test::showAndActivate(page);
        const int original = selected(page, "center");
        const int other = original == 4 ? 1 : 4;
        pick(radio(page, "center", other));
        QCOMPARE(selected(page, "center"), other);

        rig.sim->clearReceived();
        page.onDeactivate();
        page.onActivate();
        QCOMPARE(selected(page, "center"), original);
        QVERIFY(!updateButton(page)->isEnabled());
        QCOMPARE(codes(rig.sim->receivedPackets()), std::vector<std::uint8_t>{0x1A});
    }
};

} // namespace bm

QTEST_MAIN(bm::SpeakerConfigPageTest)
#include "speaker_config_page_test.moc"
