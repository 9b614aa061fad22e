// The Zone 2 page: volume and balance sliders, the mute toggle, the record
// switch and source keys, and the current source shown from the model.
#include "page_rig.h"
#include "ui/tracked_slider.h"
#include "ui/zone2_page.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

namespace bm {

using test::Bytes;
using test::hex;

namespace {
constexpr std::uint8_t kRecordEnabledId = 30, kZone2MuteId = 31;
}

class Zone2PageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeUnitRig> rig;
    std::unique_ptr<CZone2Page> page;

    CTrackedSliderCtrl* slider(const char* name)
    {
        return test::child<CTrackedSliderCtrl>(*page, QString::fromLatin1(name) + "Slider");
    }
    void expectSent(const std::vector<Bytes>& expected) { QCOMPARE(hex(rig->takeSent()), hex(expected)); }

private slots:
    void init()
    {
        rig = std::make_unique<test::FakeUnitRig>();
        rig->defineParam(NamedParam::RECORD_ENABLED, kRecordEnabledId, 0);
        rig->defineParam(NamedParam::Z2_MUTE, kZone2MuteId, 0);
        rig->reportZone2(80, 6, 0, 16); // +0, DVD, not muted, centred
        page = std::make_unique<CZone2Page>(rig->context());
        test::showAndActivate(*page);
    }
    void cleanup()
    {
        page.reset();
        rig.reset();
    }

    void refreshShowsTheZoneAndSendsNothing()
    {
        QCOMPARE(slider("zone2Volume")->value(), 12);
        QCOMPARE(test::textOf(*page, "zone2VolumeValue"), QString("+0"));
        QCOMPARE(test::textOf(*page, "zone2BalanceValue"), QString("+0"));
        QCOMPARE(test::textOf(*page, "currentInput"), QString("DVD"));
        QVERIFY(!test::child<QCheckBox>(*page, "zone2Mute")->isChecked());
        QVERIFY(!test::child<QCheckBox>(*page, "recordOn")->isChecked());

        rig->reportZone2(92, 9, 1, 0);
        rig->model.storeParamValue(kRecordEnabledId, 1);
        page->refresh();
        QCOMPARE(test::textOf(*page, "zone2VolumeValue"), QString("+12"));
        QCOMPARE(test::textOf(*page, "zone2BalanceValue"), QString("-16"));
        QCOMPARE(test::textOf(*page, "currentInput"), QString()); // no source above 7
        QVERIFY(test::child<QCheckBox>(*page, "zone2Mute")->isChecked());
        QVERIFY(test::child<QCheckBox>(*page, "recordOn")->isChecked());
        test::repaintNow(*page);
        expectSent({});

        // At the top "+" does nothing.
        test::click(*page, "zone2VolumePlus");
        test::click(*page, "zone2BalanceMinus");
        expectSent({});
    }

    void slidersAndStepsSendZone2Levels()
    {
        QTest::keyClick(slider("zone2Volume"), Qt::Key_Down); // position 13: 79
        test::click(*page, "zone2VolumePlus");                // back to 80
        QTest::keyClick(slider("zone2Balance"), Qt::Key_Right);
        test::click(*page, "zone2BalancePlus");
        expectSent({test::packet(0x27, {79}), test::packet(0x27, {80}), test::packet(0x28, {17}),
                    test::packet(0x28, {18})});
        QCOMPARE(test::textOf(*page, "zone2BalanceValue"), QString("+2"));
    }

    void recordSwitchSendsOnAndOff()
    {
        test::click(*page, "recordOn");
        test::click(*page, "recordOn");
        expectSent({test::irKey(0x58), test::irKey(0x59)});
    }

    void muteTogglesOnlyWhenTheStateDiffers()
    {
        test::click(*page, "zone2Mute"); // wanted on, unit off: one toggle
        expectSent({test::irKey(0x55)});
        // The unit has not reported the change: the model still says off, so
        // clearing the box matches it and sends nothing.
        test::click(*page, "zone2Mute");
        expectSent({});
        QCOMPARE(rig->model.status().Zone2Mute, std::uint8_t(0));
    }

    void sourceKeysAndClearInput()
    {
        const struct {
            const char* text;
            std::uint8_t key;
        } sources[8] = {{"VCR", 0x53}, {"Blu", 0x52}, {"VDisc", 0x51}, {"TV", 0x50},
                        {"AUX", 0x4F}, {"CD", 0x4E},  {"Tuner", 0x4D}, {"Tape", 0x4C}};
        std::vector<Bytes> expected;
        // The unit's input names rename these buttons as General's; a name
        // the unit does not give leaves the fixed one.
        rig->reportInputName(6, "Blu");
        page->onActivate();
        for (int i = 0; i < 8; ++i) {
            auto* button = test::child<QPushButton>(*page, QString("source%1").arg(i));
            QCOMPARE(test::captionOf(button), QString(sources[i].text));
            QTest::mouseClick(button, Qt::LeftButton);
            expected.push_back(test::irKey(sources[i].key));
        }
        rig->reportZone2(80, 2, 0, 16);
        test::click(*page, "clearInput");
        expected.push_back(test::packet(0x26, {2}));
        expectSent(expected);
    }
};

} // namespace bm

QTEST_MAIN(bm::Zone2PageTest)
#include "zone2_page_test.moc"
