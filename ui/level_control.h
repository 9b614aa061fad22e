// One level control of a page: a slider, its read-only value box and the "-"
// and "+" step buttons, with the rules by which the slider's redraws and the
// buttons become commands to the unit. Each page names the level's scale
// (model/levels.h: range, direction, zero point, text) and the model operation
// that receives the unit value.
#pragma once

#include "model/levels.h"

#include <QObject>
#include <QString>

#include <functional>

class QHBoxLayout;
class QVBoxLayout;
class QLineEdit;
class QPushButton;
class QWidget;

namespace bm {

class DeviceModel;
class RedrawSlider;

class LevelControl : public QObject {
    Q_OBJECT
public:
    enum class Kind {
        Tracked, // sends a user's move only, and holds it while a status sweep runs
        Plain,   // hands every redraw to the model, which sends only changes
    };

    struct Setup {
        Kind kind = Kind::Tracked;
        Qt::Orientation orientation = Qt::Vertical;
        // The range is 0 to scale.maximum; the scale turns a position into the
        // unit value and its text. "+" always raises the unit value.
        LevelScale scale;
        int tickInterval = 0;
        // The one model operation that takes the unit value.
        std::function<void(int unitValue)> send;
        QString name; // object-name stem of the four widgets
    };

    // The master volume and the left/right balance keep one range, direction,
    // tick spacing and text on every page that shows them (the main zone and
    // zone 2); only the object names and the model operation differ.
    static Setup volumeSetup(QString name, std::function<void(int unitValue)> send);
    static Setup balanceSetup(QString name, std::function<void(int unitValue)> send);

    LevelControl(DeviceModel& model, Setup setup, QWidget* parent);

    RedrawSlider* slider() const { return slider_; }
    QLineEdit* valueBox() const { return valueBox_; }
    QPushButton* minusButton() const { return minus_; }
    QPushButton* plusButton() const { return plus_; }

    // The value box over "-" "+", for a narrow column under a vertical slider.
    QVBoxLayout* makeStepColumn() const;
    // "-", the value box and "+" ahead of the slider, for a horizontal slider.
    QHBoxLayout* makeSliderRow() const;

    // Writes the value box for the current position and returns its unit value.
    int updateText();
    // A refresh from the model: the range (when asked for), the position with
    // a redraw, then the text. Sends nothing for a tracked slider; a plain one
    // hands the model the value it has just read.
    void showPosition(int position, bool withRange = false);
    // A step button: one step in the given direction unless already at the
    // limit, then the text and the send, whatever the moved flag or the sweep.
    void step(int direction);

private:
    void onRedrawn();
    void setRange();

    DeviceModel& model_;
    Setup setup_;
    RedrawSlider* slider_ = nullptr;
    QLineEdit* valueBox_ = nullptr;
    QPushButton* minus_ = nullptr;
    QPushButton* plus_ = nullptr;
    bool live_ = false; // set by the first showPosition()
};

} // namespace bm
