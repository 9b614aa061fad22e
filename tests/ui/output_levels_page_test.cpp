// The Output Levels page: plain sliders whose every redraw hands the value to
// the model, which sends only changes; channels laid out as on the unit.
#include "page_rig.h"
#include "ui/output_levels_page.h"
#include "ui/tracked_slider.h"

#include <QGroupBox>
#include <QSignalSpy>
#include <QTest>

namespace bm {

using test::Bytes;
using test::hex;

namespace {
// Parameter id of channel n is 40 + n; the levels given to the unit at start.
constexpr std::uint8_t kFirstId = 40;
constexpr std::uint8_t kStartLevels[8] = {20, 22, 18, 40, 0, 21, 19, 30};
const char* const kNames[8] = {"center", "sub", "frontLeft", "frontRight",
                               "sideLeft", "sideRight", "rearLeft", "rearRight"};

Bytes outputAdjust(std::uint8_t value, std::uint8_t channel)
{
    return test::packet(0x32, {value, channel});
}
} // namespace

class OutputLevelsPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeUnitRig> rig;
    std::unique_ptr<COutputLevels> page;

    RedrawSlider* slider(int channel)
    {
        return test::child<RedrawSlider>(*page, QString::fromLatin1(kNames[channel]) + "Slider");
    }
    QString text(int channel) { return test::textOf(*page, QString::fromLatin1(kNames[channel]) + "Value"); }
    void expectSent(const std::vector<Bytes>& expected) { QCOMPARE(hex(rig->takeSent()), hex(expected)); }

private slots:
    void init()
    {
        rig = std::make_unique<test::FakeUnitRig>();
        for (int channel = 0; channel < 8; ++channel)
            rig->defineParam(static_cast<NamedParam>(static_cast<int>(NamedParam::OUT_ADJ_CENTER) + channel),
                             static_cast<std::uint8_t>(kFirstId + channel), kStartLevels[channel]);
        page = std::make_unique<COutputLevels>(rig->context());
        test::showAndActivate(*page);
    }
    void cleanup()
    {
        page.reset();
        rig.reset();
    }

    void refreshShowsTheLevelsWithoutSending()
    {
        for (int channel = 0; channel < 8; ++channel) {
            QCOMPARE(slider(channel)->maximum(), 40);
            QCOMPARE(slider(channel)->value(), 40 - kStartLevels[channel]);
            QVERIFY(!qobject_cast<CTrackedSliderCtrl*>(slider(channel)));
        }
        QCOMPARE(text(0), QString("+0.0"));
        QCOMPARE(text(1), QString("+1.0"));
        QCOMPARE(text(3), QString("+10.0"));
        QCOMPARE(text(4), QString("-10.0"));
        QCOMPARE(text(6), QString("-0.5"));
        test::repaintNow(*page);
        page->refresh();
        expectSent({});

        // A level reported by the unit moves the slider; nothing goes back.
        rig->model.storeParamValue(kFirstId + 5, 12);
        page->refresh();
        QCOMPARE(slider(5)->value(), 28);
        QCOMPARE(text(5), QString("-4.0"));
        expectSent({});
    }

    void channelsSitInTheirGroups()
    {
        auto* left = page->findChildren<QGroupBox*>().value(0);
        auto* right = page->findChildren<QGroupBox*>().value(1);
        QVERIFY(left && right);
        QCOMPARE(left->title().remove(QLatin1Char('&')), QString("Left"));
        QCOMPARE(right->title().remove(QLatin1Char('&')), QString("Right"));
        // Each slider is named for the output it trims, as a screen reader says it.
        const char* const trims[8] = {"Center trim",    "Subwoofer trim", "Front left trim", "Front right trim",
                                      "Side left trim", "Side right trim", "Rear left trim", "Rear right trim"};
        for (int channel = 0; channel < 8; ++channel)
            QCOMPARE(slider(channel)->accessibleName(), QString(trims[channel]));
        // Left to right: rear, side, front | center, sub | front, side, rear.
        const int order[8] = {6, 4, 2, 0, 1, 3, 5, 7};
        for (int i = 1; i < 8; ++i) {
            const int x0 = slider(order[i - 1])->mapTo(page.get(), QPoint(0, 0)).x();
            const int x1 = slider(order[i])->mapTo(page.get(), QPoint(0, 0)).x();
            QVERIFY2(x0 < x1, kNames[order[i]]);
        }
        QVERIFY(left->isAncestorOf(slider(6)) && left->isAncestorOf(slider(2)));
        QVERIFY(right->isAncestorOf(slider(7)) && right->isAncestorOf(slider(3)));
        QVERIFY(!left->isAncestorOf(slider(0)) && !right->isAncestorOf(slider(1)));
    }

    void everyRedrawHandsTheValueToTheModel()
    {
        // Set by the program, not the user: a plain slider sends it all the same.
        slider(0)->setValue(21);
        QCOMPARE(text(0), QString("-0.5"));
        slider(0)->setValue(19);
        slider(0)->setValue(20);
        expectSent({outputAdjust(19, 0), outputAdjust(21, 0), outputAdjust(20, 0)});
        QCOMPARE(rig->model.paramValue(kFirstId), std::uint8_t(20));

        // Keys and repaints: one send per change, none for the repaint.
        QTest::keyClick(slider(7), Qt::Key_Up); // position 9: level 31
        QSignalSpy notices(slider(7), &RedrawSlider::redrawn);
        test::repaintNow(*slider(7));
        QVERIFY(notices.count() >= 1); // the repaint did reach the page
        expectSent({outputAdjust(31, 7)});
    }

    void stepButtonsPerChannel()
    {
        for (int channel = 0; channel < 8; ++channel) {
            if (channel == 3 || channel == 4)
                continue; // at the ends, below
            test::click(*page, QString::fromLatin1(kNames[channel]) + "Plus");
        }
        std::vector<Bytes> expected;
        for (int channel = 0; channel < 8; ++channel)
            if (channel != 3 && channel != 4)
                expected.push_back(outputAdjust(static_cast<std::uint8_t>(kStartLevels[channel] + 1),
                                                static_cast<std::uint8_t>(channel)));
        expectSent(expected);

        // Front right is at the top (+10.0), side left at the bottom (-10.0).
        test::click(*page, "frontRightPlus");
        test::click(*page, "sideLeftMinus");
        expectSent({});
        test::click(*page, "frontRightMinus");
        test::click(*page, "sideLeftPlus");
        expectSent({outputAdjust(39, 3), outputAdjust(1, 4)});
        QCOMPARE(text(3), QString("+9.5"));
        QCOMPARE(text(4), QString("-9.5"));
    }
};

} // namespace bm

QTEST_MAIN(bm::OutputLevelsPageTest)
#include "output_levels_page_test.moc"
