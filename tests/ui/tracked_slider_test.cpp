// The tracked slider on its own: which operations count as the user's, when
// the page is told of a redraw, and which way the vertical slider runs.
#include "page_rig.h"
#include "ui/tracked_slider.h"

#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

namespace bm {

namespace {

QRect handleRect(QSlider& slider)
{
    QStyleOptionSlider option = test::sliderStyleOption(slider);
    option.subControls = QStyle::SC_SliderHandle;
    return slider.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider);
}

} // namespace

class TrackedSliderTest : public QObject {
    Q_OBJECT
private slots:
    void userKeysSetMoved_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected");
        // Vertical, 0..92, starting at 40: the up keys move the thumb up, toward 0.
        QTest::newRow("up") << int(Qt::Key_Up) << 39;
        QTest::newRow("down") << int(Qt::Key_Down) << 41;
        QTest::newRow("page up") << int(Qt::Key_PageUp) << 40 - 92 / 5;
        QTest::newRow("page down") << int(Qt::Key_PageDown) << 40 + 92 / 5;
        QTest::newRow("home") << int(Qt::Key_Home) << 0;
        QTest::newRow("end") << int(Qt::Key_End) << 92;
    }
    void userKeysSetMoved()
    {
        QFETCH(int, key);
        QFETCH(int, expected);
        CTrackedSliderCtrl slider(Qt::Vertical);
        slider.setRange(0, 92);
        slider.setPageStep(92 / 5);
        slider.setValue(40);
        QVERIFY(!slider.moved());
        QTest::keyClick(&slider, Qt::Key(key));
        QCOMPARE(slider.value(), expected);
        QVERIFY(slider.moved());
    }

    void programPositionsLeaveMovedAlone()
    {
        CTrackedSliderCtrl slider(Qt::Horizontal);
        slider.setRange(0, 32);
        slider.setValue(10);
        slider.setPositionRedraw(20);
        slider.setRange(0, 24);
        QVERIFY(!slider.moved());
        // Once set by the user, only the page clears it.
        QTest::keyClick(&slider, Qt::Key_Right);
        slider.setValue(3);
        QVERIFY(slider.moved());
    }

    void clickOnTheChannelSetsMoved()
    {
        CTrackedSliderCtrl slider(Qt::Horizontal);
        slider.setRange(0, 32);
        slider.resize(300, 30);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(290, 15));
        QVERIFY(slider.value() > 0);
        QVERIFY(slider.moved());
    }

    void redrawNoticeFollowsEveryChangeAndRepaint()
    {
        CTrackedSliderCtrl slider(Qt::Vertical);
        slider.setRange(0, 40);
        QSignalSpy redrawn(&slider, &RedrawSlider::redrawn);
        slider.setValue(5);
        QCOMPARE(redrawn.count(), 1); // at once, not at the next paint
        // A refresh to the position it already has still redraws.
        slider.setPositionRedraw(5);
        QCOMPARE(redrawn.count(), 2);
        slider.setPositionRedraw(6);
        QCOMPARE(redrawn.count(), 3);

        slider.resize(30, 200);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QTRY_VERIFY(redrawn.count() >= 4);
        const int before = redrawn.count();
        slider.repaint();
        QTRY_COMPARE(redrawn.count(), before + 1);
    }

    void verticalRunsFromTheTop()
    {
        CTrackedSliderCtrl slider(Qt::Vertical);
        slider.setRange(0, 92);
        slider.resize(30, 300);
        slider.setValue(0);
        const QRect top = handleRect(slider);
        slider.setValue(92);
        const QRect bottom = handleRect(slider);
        QVERIFY2(top.center().y() < bottom.center().y(), "position 0 must be drawn at the top");

        // Clicking near the top moves the thumb toward position 0.
        slider.setValue(46);
        slider.show();
        QVERIFY(QTest::qWaitForWindowExposed(&slider));
        QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(15, 5));
        QVERIFY(slider.value() < 46);
    }

    void horizontalRunsFromTheLeft()
    {
        CTrackedSliderCtrl slider(Qt::Horizontal);
        slider.setRange(0, 32);
        slider.resize(300, 30);
        slider.setValue(0);
        const QRect left = handleRect(slider);
        slider.setValue(32);
        QVERIFY(left.center().x() < handleRect(slider).center().x());
        QTest::keyClick(&slider, Qt::Key_Right); // at the end: stays
        QCOMPARE(slider.value(), 32);
        QTest::keyClick(&slider, Qt::Key_Left);
        QCOMPARE(slider.value(), 31);
    }
};

} // namespace bm

QTEST_MAIN(bm::TrackedSliderTest)
#include "tracked_slider_test.moc"
