// The "Equalization" tab: tone sliders and loudness.
#include "ui/equalization_page.h"

#include "model/device_model.h"
#include "model/levels.h"
#include "ui/access.h"
#include "ui/level_control.h"
#include "ui/tracked_slider.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>

namespace bm {

namespace {

QGroupBox* makeToneBox(const QString& title, LevelControl* level, QWidget* parent)
{
    auto* box = new QGroupBox(title, parent);
    // "-" and "+" above the value box at the left; the slider fills the rest.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    buttons->addWidget(level->minusButton());
    buttons->addWidget(level->plusButton());
    auto* left = new QVBoxLayout;
    left->setSpacing(4);
    left->addLayout(buttons);
    left->addWidget(level->valueBox(), 0, Qt::AlignHCenter);
    auto* row = new QHBoxLayout(box);
    row->addLayout(left);
    row->addSpacing(10);
    row->addWidget(level->slider(), 1);
    return box;
}

} // namespace

CEqualizationPage::CEqualizationPage(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("Equalization"), parent)
{
    DeviceModel& unit = model();

    // The ranges and zero points are the scales' own; they do not follow the
    // maxima the unit reports for these parameters.
    auto setup = [](const char* name, const LevelScale& scale, int tickInterval,
                    std::function<void(int)> send) {
        LevelControl::Setup s;
        s.orientation = Qt::Horizontal;
        s.scale = scale;
        s.tickInterval = tickInterval;
        s.send = std::move(send);
        s.name = QString::fromLatin1(name);
        return s;
    };
    bass_ = new LevelControl(
        unit,
        setup("bass", kToneScale, 2,
              [&unit](int level) { unit.SetBassLevel(static_cast<std::uint8_t>(level)); }),
        this);
    treble_ = new LevelControl(
        unit,
        setup("treble", kToneScale, 2,
              [&unit](int level) { unit.SetTrebleLevel(static_cast<std::uint8_t>(level)); }),
        this);
    tilt_ = new LevelControl(
        unit,
        setup("tilt", kTiltScale, 5,
              [&unit](int level) { unit.SetTiltLevel(static_cast<std::uint8_t>(level)); }),
        this);

    loudness_ = new QCheckBox(QStringLiteral("Loudness"), this);
    loudness_->setObjectName(QStringLiteral("loudness"));
    describeControl(loudness_, "loudness");
    describeLevel(*bass_, "bass");
    describeLevel(*treble_, "treble");
    describeLevel(*tilt_, "tilt");
    connect(loudness_, &QCheckBox::clicked, this, [this](bool checked) { model().SetLoudness(checked); });

    auto* root = new QVBoxLayout(this);
    root->addWidget(makeToneBox(QStringLiteral("Bass"), bass_, this));
    root->addWidget(makeToneBox(QStringLiteral("Treble"), treble_, this));
    root->addWidget(makeToneBox(QStringLiteral("Tilt"), tilt_, this));
    root->addSpacing(6);
    root->addWidget(loudness_, 0, Qt::AlignLeft);
    root->addStretch(1);
    orderTabsByLayout(this);
    assignMnemonics(this);
}

void CEqualizationPage::doRefresh()
{
    DeviceModel& unit = model();
    bass_->showPosition(kToneScale.position(unit.BassLevel()), true);
    treble_->showPosition(kToneScale.position(unit.TrebleLevel()), true);
    tilt_->showPosition(kTiltScale.position(unit.TiltLevel()), true);
    loudness_->setChecked(unit.LoudnessState() != 0);
}

} // namespace bm
