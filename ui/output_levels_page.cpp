// The "Output Levels" tab: eight plain vertical sliders, one per output channel.
#include "ui/output_levels_page.h"

#include "model/device_model.h"
#include "model/levels.h"
#include "ui/access.h"
#include "ui/level_control.h"
#include "ui/tracked_slider.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cstdint>

namespace bm {

namespace {

// Channel numbers as the model numbers them.
enum Channel { Center = 0, Sub, FrontL, FrontR, SideL, SideR, RearL, RearR };

// Refresh order: rear, side and front pairs, then center and sub.
constexpr int kRefreshOrder[8] = {RearL, RearR, SideL, SideR, FrontL, FrontR, Center, Sub};

QVBoxLayout* makeChannelColumn(const QString& label, LevelControl* level)
{
    auto* column = new QVBoxLayout;
    column->setSpacing(4);
    auto* caption = new QLabel(label);
    caption->setAlignment(Qt::AlignHCenter);
    caption->setBuddy(level->slider());
    column->addWidget(caption);
    column->addWidget(level->slider(), 1, Qt::AlignHCenter);
    column->addLayout(level->makeStepColumn());
    return column;
}

} // namespace

COutputLevels::COutputLevels(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("Output Levels"), parent)
{
    DeviceModel& unit = model();
    static const char* const kNames[8] = {"center", "sub",   "frontLeft", "frontRight",
                                          "sideLeft", "sideRight", "rearLeft", "rearRight"};
    // The controls table's rows of the channels, in the model's order.
    static const char* const kControls[8] = {"out-center", "out-sub",    "out-front-l", "out-front-r",
                                             "out-side-l", "out-side-r", "out-rear-l",  "out-rear-r"};
    for (int channel = 0; channel < 8; ++channel) {
        LevelControl::Setup s;
        s.kind = LevelControl::Kind::Plain;
        s.orientation = Qt::Vertical;
        s.scale = kOutputScale; // +10.0 on top
        s.tickInterval = 4;
        s.send = [&unit, channel](int v) { unit.SetOutputAdjust(channel, static_cast<std::uint8_t>(v)); };
        s.name = QString::fromLatin1(kNames[channel]);
        channels_[channel] = new LevelControl(unit, s, this);
        describeLevel(*channels_[channel], kControls[channel]);
    }

    auto* leftBox = new QGroupBox(QStringLiteral("Left"), this);
    auto* leftRow = new QHBoxLayout(leftBox);
    leftRow->addLayout(makeChannelColumn(QStringLiteral("Rear"), channels_[RearL]));
    leftRow->addLayout(makeChannelColumn(QStringLiteral("Side"), channels_[SideL]));
    leftRow->addLayout(makeChannelColumn(QStringLiteral("Front"), channels_[FrontL]));

    auto* rightBox = new QGroupBox(QStringLiteral("Right"), this);
    auto* rightRow = new QHBoxLayout(rightBox);
    rightRow->addLayout(makeChannelColumn(QStringLiteral("Front"), channels_[FrontR]));
    rightRow->addLayout(makeChannelColumn(QStringLiteral("Side"), channels_[SideR]));
    rightRow->addLayout(makeChannelColumn(QStringLiteral("Rear"), channels_[RearR]));

    // Center and Sub stand between the groups, level with their contents:
    // the group box's frame and title plus its layout's own margins.
    auto* middle = new QHBoxLayout;
    const QMargins frame = leftBox->contentsMargins();
    const QMargins inner = leftRow->contentsMargins();
    middle->setContentsMargins(0, frame.top() + inner.top(), 0, frame.bottom() + inner.bottom());
    middle->addLayout(makeChannelColumn(QStringLiteral("Center"), channels_[Center]));
    middle->addLayout(makeChannelColumn(QStringLiteral("Sub"), channels_[Sub]));

    auto* root = new QHBoxLayout(this);
    root->addWidget(leftBox, 3);
    root->addLayout(middle, 2);
    root->addWidget(rightBox, 3);

    leftBox->setAccessibleName(QStringLiteral("Left outputs"));
    rightBox->setAccessibleName(QStringLiteral("Right outputs"));
    orderTabsByLayout(this);
    assignMnemonics(this);
}

void COutputLevels::doRefresh()
{
    for (int channel : kRefreshOrder)
        channels_[channel]->showPosition(model().OutputPosition(channel), true);
}

} // namespace bm
