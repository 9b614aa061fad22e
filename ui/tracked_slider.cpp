// The level pages' sliders: redraw notices and the user-move flag.
#include "ui/tracked_slider.h"

#include <QMetaObject>
#include <QPalette>

namespace bm {

RedrawSlider::RedrawSlider(Qt::Orientation orientation, QWidget* parent) : QSlider(orientation, parent)
{
    // Some styles fill the groove from the minimum end to the thumb. Here the
    // minimum is the loud end of a volume and one end of a centred trim, so a
    // fill would read as a level it is not: keep the groove one colour.
    QPalette plain = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        plain.setColor(group, QPalette::Highlight, plain.color(group, QPalette::Midlight));
    setPalette(plain);
    if (orientation == Qt::Vertical) {
        // Position 0 at the top; the up keys and the wheel then have to lower
        // the position so that they still move the thumb up.
        setInvertedAppearance(true);
        setInvertedControls(true);
    }
}

void RedrawSlider::setPositionRedraw(int position)
{
    const int before = value();
    setValue(position);
    if (value() == before)
        emit redrawn(); // setValue() did not change anything, so it told nobody
    update();
}

void RedrawSlider::sliderChange(SliderChange change)
{
    QSlider::sliderChange(change);
    if (change == SliderValueChange)
        emit redrawn();
}

void RedrawSlider::paintEvent(QPaintEvent* event)
{
    QSlider::paintEvent(event);
    // The page's handler may send to the unit, and sending paces the caller
    // with a sleep during which the user-interface thread may repaint: so the
    // notice goes out after the paint has finished, never from inside it.
    if (paintNoticePending_)
        return;
    paintNoticePending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            paintNoticePending_ = false;
            emit redrawn();
        },
        Qt::QueuedConnection);
}

CTrackedSliderCtrl::CTrackedSliderCtrl(Qt::Orientation orientation, QWidget* parent)
    : RedrawSlider(orientation, parent)
{
    // actionTriggered comes only from the user's keys, mouse and wheel, and
    // before the new value is applied, so the flag is set when the value's
    // redraw notice reaches the page.
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int) { moved_ = true; });
}

} // namespace bm
