// Sliders of the level pages. RedrawSlider tells its page each time it is
// redrawn: at once after every position change (program or user) and after
// every repaint. CTrackedSliderCtrl also remembers that the user operated it,
// which is how a page tells a user's move from a position it set itself.
#pragma once

#include <QSlider>

namespace bm {

class RedrawSlider : public QSlider {
    Q_OBJECT
public:
    // Vertical sliders have position 0 at the top, horizontal ones at the left.
    explicit RedrawSlider(Qt::Orientation orientation, QWidget* parent = nullptr);

    // Sets the position and redraws; the page is notified even when the
    // position was already there (a refresh always redraws).
    void setPositionRedraw(int position);

signals:
    void redrawn();

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool paintNoticePending_ = false;
};

class CTrackedSliderCtrl : public RedrawSlider {
    Q_OBJECT
public:
    explicit CTrackedSliderCtrl(Qt::Orientation orientation, QWidget* parent = nullptr);

    // Set whenever the user operates the slider (drag, click on the channel,
    // arrow, page, home and end keys, wheel); never by a position the program sets.
    bool moved() const { return moved_; }
    void setMoved(bool moved) { moved_ = moved; }

private:
    bool moved_ = false;
};

} // namespace bm
