// The General page over the real model and link: what a user's moves, clicks
// and keys send, byte for byte, and what refreshes and limits do not send.
#include "page_rig.h"
#include "ui/general_page.h"
#include "ui/tracked_slider.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

namespace bm {

using test::Bytes;
using test::hex;

class GeneralPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeUnitRig> rig;
    std::unique_ptr<CGeneralPage> page;

    CTrackedSliderCtrl* slider(const char* name)
    {
        return test::child<CTrackedSliderCtrl>(*page, QString::fromLatin1(name) + "Slider");
    }
    void expectSent(const std::vector<Bytes>& expected)
    {
        const auto sent = rig->takeSent();
        QCOMPARE(hex(sent), hex(expected));
    }

private slots:
    void init()
    {
        rig = std::make_unique<test::FakeUnitRig>();
        // Volume 72 (-8), balance 20 (+4), front/back 10 (-6), muted.
        rig->reportStatus(72, 1, 20, 10);
        page = std::make_unique<CGeneralPage>(rig->context());
        test::showAndActivate(*page);
    }
    void cleanup()
    {
        page.reset();
        rig.reset();
    }

    void activationShowsTheModelAndSendsNothing()
    {
        QCOMPARE(slider("volume")->value(), 20);
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("-8"));
        QCOMPARE(slider("leftRight")->value(), 20);
        QCOMPARE(test::textOf(*page, "leftRightValue"), QString("+4"));
        QCOMPARE(slider("frontBack")->value(), 22);
        QCOMPARE(test::textOf(*page, "frontBackValue"), QString("-6"));
        QVERIFY(test::child<QCheckBox>(*page, "mute")->isChecked());
        QVERIFY(test::child<QLineEdit>(*page, "volumeValue")->isReadOnly());
        QCOMPARE(test::child<QLineEdit>(*page, "volumeValue")->alignment(), Qt::AlignCenter);

        // A report from the unit and a refresh: the sliders follow, nothing goes back.
        rig->reportStatus(80, 0, 16, 16);
        page->refresh();
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("+0"));
        QCOMPARE(slider("volume")->value(), 12);
        QCOMPARE(test::textOf(*page, "leftRightValue"), QString("+0"));
        QCOMPARE(test::textOf(*page, "frontBackValue"), QString("+0"));
        QVERIFY(!test::child<QCheckBox>(*page, "mute")->isChecked());
        test::repaintNow(*page);
        expectSent({});
    }

    void keysOnTheSlidersSendTheirValues()
    {
        QTest::keyClick(slider("volume"), Qt::Key_Up); // position 19: volume 73
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("-7"));
        QTest::keyClick(slider("frontBack"), Qt::Key_Down); // position 23: 9
        QTest::keyClick(slider("leftRight"), Qt::Key_Left); // 19
        QTest::keyClick(slider("leftRight"), Qt::Key_End);  // 32
        expectSent({test::packet(0x21, {73}), test::packet(0x23, {9}), test::packet(0x22, {19}),
                    test::packet(0x22, {32})});
        // One send per move: later repaints of the moved sliders send nothing.
        test::repaintNow(*page);
        expectSent({});
    }

    void clicksOnTheChannelSend()
    {
        CTrackedSliderCtrl* balance = slider("leftRight");
        QTest::mouseClick(balance, Qt::LeftButton, {}, test::channelPoint(*balance, true));
        QVERIFY(balance->value() > 20);
        const auto right = static_cast<std::uint8_t>(balance->value());
        // The volume's top end is the loudest.
        CTrackedSliderCtrl* volume = slider("volume");
        QTest::mouseClick(volume, Qt::LeftButton, {}, test::channelPoint(*volume, false));
        QVERIFY(volume->value() < 20);
        expectSent({test::packet(0x22, {right}),
                    test::packet(0x21, {static_cast<std::uint8_t>(92 - volume->value())})});
    }

    void stepButtonsMoveOneStepUntilTheLimit()
    {
        test::click(*page, "volumePlus"); // up: position 19, volume 73
        test::click(*page, "volumeMinus");
        test::click(*page, "volumeMinus"); // position 21, volume 71
        test::click(*page, "frontBackPlus"); // position 21, front/back 11
        test::click(*page, "leftRightPlus"); // 21
        test::click(*page, "leftRightMinus");
        expectSent({test::packet(0x21, {73}), test::packet(0x21, {72}), test::packet(0x21, {71}),
                    test::packet(0x23, {11}), test::packet(0x22, {21}), test::packet(0x22, {20})});
        QCOMPARE(slider("volume")->value(), 21);
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("-9"));

        // At the ends of the ranges the buttons do nothing at all.
        rig->reportStatus(92, 0, 32, 0);
        page->refresh();
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("+12"));
        const std::uint32_t before = rig->commandsSent();
        test::click(*page, "volumePlus");
        test::click(*page, "leftRightPlus");
        test::click(*page, "frontBackMinus"); // front/back 0 is the bottom, position 32
        QCOMPARE(slider("volume")->value(), 0);
        QCOMPARE(slider("frontBack")->value(), 32);
        rig->reportStatus(0, 0, 0, 32);
        page->refresh();
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("-80"));
        test::click(*page, "volumeMinus");
        test::click(*page, "leftRightMinus");
        test::click(*page, "frontBackPlus");
        QCOMPARE(rig->commandsSent(), before);
        QCOMPARE(test::textOf(*page, "frontBackValue"), QString("+16"));
    }

    void aMoveDuringTheSweepWaitsForItsEnd()
    {
        rig->link->state().StatusSweepActive = true;
        QTest::keyClick(slider("volume"), Qt::Key_Up);
        QTest::keyClick(slider("volume"), Qt::Key_Up); // position 18: volume 74
        QCOMPARE(test::textOf(*page, "volumeValue"), QString("-6"));
        test::repaintNow(*page);
        QCOMPARE(rig->takeSent().size(), std::size_t(0));

        // Step buttons do not wait for anything.
        test::click(*page, "leftRightPlus");
        expectSent({test::packet(0x22, {21})});

        const std::uint32_t before = rig->commandsSent();
        rig->link->state().StatusSweepActive = false;
        slider("volume")->repaint(); // the first redraw after the sweep
        QTRY_COMPARE(rig->commandsSent(), before + 1);
        expectSent({test::packet(0x21, {74})});
    }

    void muteSendsTheBoxState()
    {
        test::click(*page, "mute"); // was ticked: now clear
        test::click(*page, "mute");
        expectSent({test::packet(0x31, {0}), test::packet(0x31, {1})});
    }

    void inputButtonsCarryTheUnitsNamesAndSendTheirKeys()
    {
        rig->reportInputName(6, "DVD-A");
        rig->reportInputName(0, "");
        rig->reportInputName(2, "Compact");
        rig->reportInputName(3, "R&B");
        page->onDeactivate();
        page->onActivate();
        QCOMPARE(test::captionOf(test::child<QPushButton>(*page, "input6")), QString("DVD-A"));
        QCOMPARE(test::captionOf(test::child<QPushButton>(*page, "input2")), QString("Compact"));
        QCOMPARE(test::captionOf(test::child<QPushButton>(*page, "input0")), QString());
        QCOMPARE(test::captionOf(test::child<QPushButton>(*page, "input3")), QString("R&B")); // not a mnemonic
        expectSent({});

        test::click(*page, "input6");
        test::click(*page, "input6"); // no state: the key goes again
        test::click(*page, "input0"); // nameless, still Tape
        test::click(*page, "input7");
        expectSent({test::irKey(0x12), test::irKey(0x12), test::irKey(0x0C), test::irKey(0x13)});
    }

    void effectButtonsSendTheirKeys()
    {
        // Screen order, four rows of four; "96K Ports" (row 4, first) is inert.
        const int keys[16] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
                              0xA0, 0xA1, 0xA2, 0xA3, -1,   0xA5, 0xA6, 0xA7};
        std::vector<Bytes> expected;
        for (int i = 0; i < 16; ++i) {
            auto* button = test::child<QPushButton>(*page, QString("effect%1").arg(i));
            if (i == 12)
                QCOMPARE(test::captionOf(button), QString("96K Ports"));
            QTest::mouseClick(button, Qt::LeftButton);
            if (keys[i] >= 0)
                expected.push_back(test::irKey(static_cast<std::uint8_t>(keys[i])));
        }
        expectSent(expected);
    }
};

} // namespace bm

QTEST_MAIN(bm::GeneralPageTest)
#include "general_page_test.moc"
