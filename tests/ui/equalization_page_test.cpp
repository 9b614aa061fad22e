// The Equalization page: tone sliders hand their position to the model's
// stepping, which presses the unit's up and down keys; loudness is a key too.
#include "page_rig.h"
#include "ui/equalization_page.h"
#include "ui/tracked_slider.h"

#include <QCheckBox>
#include <QTest>

namespace bm {

using test::Bytes;
using test::hex;

namespace {
constexpr std::uint8_t kBassId = 20, kTrebleId = 21, kTiltId = 22, kLoudnessId = 23;
constexpr std::uint8_t BASS_UP_KEY = 0x93, BASS_DOWN_KEY = 0x8F, TREBLE_DOWN_KEY = 0x8E, TILT_UP_KEY = 0x91;
} // namespace

class EqualizationPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeUnitRig> rig;
    std::unique_ptr<CEqualizationPage> page;

    CTrackedSliderCtrl* slider(const char* name)
    {
        return test::child<CTrackedSliderCtrl>(*page, QString::fromLatin1(name) + "Slider");
    }
    void expectSent(const std::vector<Bytes>& expected)
    {
        QCOMPARE(hex(rig->takeSent()), hex(expected));
    }
    void open(bool withTilt = true)
    {
        rig->defineParam(NamedParam::BASS, kBassId, 12);
        rig->defineParam(NamedParam::TREBLE, kTrebleId, 11);
        if (withTilt)
            rig->defineParam(NamedParam::TILT, kTiltId, 16);
        rig->defineParam(NamedParam::LOUDNESS, kLoudnessId, 1);
        page = std::make_unique<CEqualizationPage>(rig->context());
        test::showAndActivate(*page);
    }

private slots:
    void init() { rig = std::make_unique<test::FakeUnitRig>(); }
    void cleanup()
    {
        page.reset();
        rig.reset();
    }

    void activationShowsTheLevelsAndSendsNothing()
    {
        open();
        QCOMPARE(slider("bass")->maximum(), 24);
        QCOMPARE(slider("tilt")->maximum(), 30);
        QCOMPARE(test::textOf(*page, "bassValue"), QString("+0.0"));
        QCOMPARE(test::textOf(*page, "trebleValue"), QString("-0.5"));
        QCOMPARE(test::textOf(*page, "tiltValue"), QString("+0.2"));
        QVERIFY(test::child<QCheckBox>(*page, "loudness")->isChecked());

        // The unit reports its own levels: the sliders follow without a command.
        rig->model.storeParamValue(kBassId, 0);
        rig->model.storeParamValue(kTrebleId, 24);
        rig->model.storeParamValue(kTiltId, 14);
        rig->model.storeParamValue(kLoudnessId, 0);
        page->refresh();
        QCOMPARE(test::textOf(*page, "bassValue"), QString("-6.0"));
        QCOMPARE(test::textOf(*page, "trebleValue"), QString("+6.0"));
        QCOMPARE(test::textOf(*page, "tiltValue"), QString("-0.2"));
        QVERIFY(!test::child<QCheckBox>(*page, "loudness")->isChecked());
        test::repaintNow(*page);
        expectSent({});
    }

    void aMoveStartsSteppingTowardThePosition()
    {
        open();
        QTest::keyClick(slider("bass"), Qt::Key_Right); // 13: up, pressed twice to start
        QCOMPARE(test::textOf(*page, "bassValue"), QString("+0.5"));
        QTest::keyClick(slider("treble"), Qt::Key_Left); // 10: down
        test::click(*page, "tiltPlus");                  // 17: up
        expectSent({test::irKey(BASS_UP_KEY), test::irKey(BASS_UP_KEY), test::irKey(TREBLE_DOWN_KEY),
                    test::irKey(TREBLE_DOWN_KEY), test::irKey(TILT_UP_KEY), test::irKey(TILT_UP_KEY)});
        QCOMPARE(rig->model.stepper(ToneControl::Bass).target, std::uint8_t(13));
        QCOMPARE(rig->model.stepper(ToneControl::Tilt).target, std::uint8_t(17));

        // While stepping runs, a further move only moves the target.
        QTest::keyClick(slider("bass"), Qt::Key_Home);
        expectSent({});
        QCOMPARE(rig->model.stepper(ToneControl::Bass).target, std::uint8_t(0));
    }

    void stepButtonsStopAtTheEnds()
    {
        open();
        rig->model.storeParamValue(kBassId, 24);
        rig->model.storeParamValue(kTiltId, 0);
        page->refresh();
        test::click(*page, "bassPlus");
        test::click(*page, "tiltMinus");
        QCOMPARE(slider("bass")->value(), 24);
        QCOMPARE(test::textOf(*page, "tiltValue"), QString("-3.0"));
        expectSent({});
        QVERIFY(!rig->model.stepper(ToneControl::Bass).active);

        test::click(*page, "bassMinus"); // 23: down from 24
        expectSent({test::irKey(BASS_DOWN_KEY), test::irKey(BASS_DOWN_KEY)});
    }

    void anUnknownParameterSendsNothing()
    {
        open(/*withTilt=*/false);
        QTest::keyClick(slider("tilt"), Qt::Key_Right);
        test::click(*page, "tiltPlus");
        QCOMPARE(test::textOf(*page, "tiltValue"), QString("-2.6")); // positions 1, 2 from 0
        expectSent({});
    }

    void loudnessSendsOnOrOff()
    {
        open();
        test::click(*page, "loudness"); // was on
        test::click(*page, "loudness");
        expectSent({test::irKey(0x8C), test::irKey(0x90)});
    }
};

} // namespace bm

QTEST_MAIN(bm::EqualizationPageTest)
#include "equalization_page_test.moc"
