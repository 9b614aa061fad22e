// Slider, value box and step buttons of one level, and the redraw rules that
// turn a slider's movement into a command.
#include "ui/level_control.h"

#include "link/quor_control.h"
#include "model/device_model.h"
#include "ui/level_text.h"
#include "ui/tracked_slider.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace bm {

namespace {

QPushButton* makeStepButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setFixedSize(26, 24);
    button->setAutoDefault(false);
    return button;
}

} // namespace

LevelControl::Setup LevelControl::volumeSetup(QString name, std::function<void(int)> send)
{
    Setup s;
    s.orientation = Qt::Vertical;
    s.scale = kVolumeScale; // top is loudest
    s.tickInterval = 10;
    s.send = std::move(send);
    s.name = std::move(name);
    return s;
}

LevelControl::Setup LevelControl::balanceSetup(QString name, std::function<void(int)> send)
{
    Setup s;
    s.orientation = Qt::Horizontal;
    s.scale = kBalanceScale; // right is right
    s.tickInterval = 4;
    s.send = std::move(send);
    s.name = std::move(name);
    return s;
}

LevelControl::LevelControl(DeviceModel& model, Setup setup, QWidget* parent)
    : QObject(parent), model_(model), setup_(std::move(setup))
{
    if (setup_.kind == Kind::Tracked)
        slider_ = new CTrackedSliderCtrl(setup_.orientation, parent);
    else
        slider_ = new RedrawSlider(setup_.orientation, parent);
    slider_->setObjectName(setup_.name + QStringLiteral("Slider"));
    slider_->setSingleStep(1);
    if (setup_.tickInterval > 0) {
        slider_->setTickInterval(setup_.tickInterval);
        slider_->setTickPosition(setup_.orientation == Qt::Vertical ? QSlider::TicksBothSides
                                                                    : QSlider::TicksBelow);
    }
    setRange();

    valueBox_ = new QLineEdit(parent);
    valueBox_->setObjectName(setup_.name + QStringLiteral("Value"));
    valueBox_->setReadOnly(true);
    valueBox_->setAlignment(Qt::AlignCenter);
    valueBox_->setFocusPolicy(Qt::NoFocus);
    valueBox_->setFixedWidth(50);

    minus_ = makeStepButton(QStringLiteral("-"), parent);
    minus_->setObjectName(setup_.name + QStringLiteral("Minus"));
    plus_ = makeStepButton(QStringLiteral("+"), parent);
    plus_->setObjectName(setup_.name + QStringLiteral("Plus"));

    connect(slider_, &RedrawSlider::redrawn, this, &LevelControl::onRedrawn);
    // "+" raises the unit value: up a slider that runs upside down, else right.
    const int plusStep = setup_.scale.topIsMaximum ? -1 : 1;
    connect(plus_, &QPushButton::clicked, this, [this, plusStep] { step(plusStep); });
    connect(minus_, &QPushButton::clicked, this, [this, plusStep] { step(-plusStep); });
}

QVBoxLayout* LevelControl::makeStepColumn() const
{
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(3);
    buttons->addStretch(1);
    buttons->addWidget(minus_);
    buttons->addWidget(plus_);
    buttons->addStretch(1);
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    column->addWidget(valueBox_, 0, Qt::AlignHCenter);
    column->addLayout(buttons);
    return column;
}

QHBoxLayout* LevelControl::makeSliderRow() const
{
    auto* row = new QHBoxLayout;
    row->addWidget(minus_);
    row->addWidget(valueBox_);
    row->addWidget(plus_);
    row->addSpacing(8);
    row->addWidget(slider_, 1);
    return row;
}

void LevelControl::setRange()
{
    const int maximum = setup_.scale.maximum;
    slider_->setRange(0, maximum);
    // As a trackbar pages: a fifth of the range.
    slider_->setPageStep(std::max(1, maximum / 5));
}

int LevelControl::updateText()
{
    const int value = setup_.scale.value(slider_->value());
    valueBox_->setText(valueBoxText(setup_.scale, value));
    return value;
}

void LevelControl::showPosition(int position, bool withRange)
{
    live_ = true;
    if (withRange)
        setRange();
    slider_->setPositionRedraw(position);
    updateText();
}

void LevelControl::step(int direction)
{
    const int position = slider_->value();
    if (direction > 0 ? position >= slider_->maximum() : position <= slider_->minimum())
        return;
    slider_->setPositionRedraw(position + (direction > 0 ? 1 : -1));
    setup_.send(updateText());
}

void LevelControl::onRedrawn()
{
    // Until the page has shown a value from the model, the slider's position
    // means nothing: a plain slider would otherwise send it.
    if (!live_)
        return;
    if (setup_.kind == Kind::Plain) {
        setup_.send(updateText());
        return;
    }
    auto* tracked = static_cast<CTrackedSliderCtrl*>(slider_);
    // A move made while the sweep refreshes the model stays noted and goes out
    // at the first redraw after the sweep.
    const bool sweep = model_.link().state().StatusSweepActive.load();
    const bool moved = tracked->moved();
    if (!sweep)
        tracked->setMoved(false);
    const int value = updateText();
    if (!sweep && moved)
        setup_.send(value);
}

} // namespace bm
