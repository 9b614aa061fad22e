// The "Zone 2" tab: zone 2 volume, mute, balance, record switch and source.
#include "ui/zone2_page.h"

#include "link/packet.h"
#include "model/device_model.h"
#include "model/levels.h"
#include "ui/access.h"
#include "ui/level_control.h"
#include "ui/tracked_slider.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>
#include <string>

namespace bm {

namespace {

// Zone 2 source keys in screen order, two rows of four, by the input each
// selects. These texts stand until the unit's own input names are known, as
// on the General page.
struct SourceButton {
    const char* text;
    int input;
};
constexpr SourceButton kSourceButtons[8] = {
    {"VCR", 7}, {"DVD", 6}, {"VDisc", 5}, {"TV", 4},
    {"AUX", 3}, {"CD", 2},  {"Tuner", 1}, {"Tape", 0},
};

} // namespace

CZone2Page::CZone2Page(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("Zone 2"), parent)
{
    DeviceModel& unit = model();

    volume_ = new LevelControl(
        unit,
        LevelControl::volumeSetup(QStringLiteral("zone2Volume"),
                                  [&unit](int v) { unit.SetZone2Volume(static_cast<std::uint8_t>(v)); }),
        this);
    balance_ = new LevelControl(
        unit,
        LevelControl::balanceSetup(QStringLiteral("zone2Balance"),
                                   [&unit](int b) { unit.SetZone2Balance(static_cast<std::uint8_t>(b)); }),
        this);

    // The check boxes are not set back after a click: they show the unit's
    // state at the refresh that follows its report.
    mute_ = new QCheckBox(QStringLiteral("Mute"), this);
    mute_->setObjectName(QStringLiteral("zone2Mute"));
    connect(mute_, &QCheckBox::clicked, this, [this](bool checked) { model().SetZone2Mute(checked); });
    describeControl(mute_, "zone2-mute");
    describeLevel(*volume_, "zone2-volume");
    describeLevel(*balance_, "zone2-balance");

    recordOn_ = new QCheckBox(QStringLiteral("Zone-2/Record On"), this);
    recordOn_->setObjectName(QStringLiteral("recordOn"));
    describeControl(recordOn_, "zone2");
    connect(recordOn_, &QCheckBox::clicked, this,
            [this](bool checked) { model().SendIrKey(checked ? kIrZone2On : kIrZone2Off); });

    // "Zone-2 Volume": a tall column at the left.
    auto* volumeBox = new QGroupBox(QStringLiteral("Zone-2 Volume"), this);
    auto* volumeColumn = new QVBoxLayout(volumeBox);
    volumeColumn->addWidget(volume_->slider(), 1, Qt::AlignHCenter);
    volumeColumn->addWidget(mute_, 0, Qt::AlignHCenter);
    volumeColumn->addLayout(volume_->makeStepColumn());

    // "Zone-2 Input": the switch, the source keys, the current source.
    auto* inputBox = new QGroupBox(QStringLiteral("Zone-2 Input"), this);
    auto* inputColumn = new QVBoxLayout(inputBox);
    inputColumn->addWidget(recordOn_, 0, Qt::AlignLeft);
    auto* sources = new QGridLayout;
    for (int i = 0; i < 8; ++i) {
        auto* button = new QPushButton(QString::fromLatin1(kSourceButtons[i].text), inputBox);
        button->setObjectName(QStringLiteral("source%1").arg(i));
        button->setAutoDefault(false);
        button->setMinimumWidth(86);
        // Checkable: the zone's source shows pressed, following the unit.
        button->setCheckable(true);
        const int input = kSourceButtons[i].input;
        const std::uint8_t key = zone2SourceKey(input);
        connect(button, &QPushButton::clicked, this, [this, key] {
            showSource();
            model().SendIrKey(key);
        });
        sources->addWidget(button, i / 4, i % 4);
        sourceButtons_[input] = button;
        sourceFixed_[input] = QString::fromLatin1(kSourceButtons[i].text);
    }
    inputColumn->addLayout(sources);
    auto* current = new QHBoxLayout;
    auto* currentLabel = new QLabel(QStringLiteral("Current Input:"), inputBox);
    current->addWidget(currentLabel);
    currentInput_ = new QLineEdit(inputBox);
    currentLabel->setBuddy(currentInput_);
    describeControl(currentInput_, "record-input", QStringLiteral("Zone 2 current input"));
    currentInput_->setObjectName(QStringLiteral("currentInput"));
    currentInput_->setReadOnly(true);
    currentInput_->setFocusPolicy(Qt::NoFocus);
    currentInput_->setFixedWidth(96);
    current->addWidget(currentInput_);
    current->addStretch(1);
    auto* clear = new QPushButton(QStringLiteral("Clear Input"), inputBox);
    clear->setObjectName(QStringLiteral("clearInput"));
    clear->setAutoDefault(false);
    clear->setMinimumWidth(86);
    describe(clear, QStringLiteral("Clear zone 2 input"),
             QStringLiteral("Sends the zone 2 input the unit holds once more, clearing a source selection made on the unit."));
    connect(clear, &QPushButton::clicked, this, [this] { model().ClearRecordInput(); });
    current->addWidget(clear);
    inputColumn->addLayout(current);

    // "Zone-2 Left/Right Balance": value box and steps left of the slider.
    auto* balanceBox = new QGroupBox(QStringLiteral("Zone-2 Left/Right Balance"), this);
    balanceBox->setLayout(balance_->makeSliderRow());

    auto* right = new QVBoxLayout;
    right->addWidget(inputBox);
    right->addWidget(balanceBox);
    right->addStretch(1);

    auto* root = new QHBoxLayout(this);
    root->addWidget(volumeBox);
    root->addLayout(right, 1);

    describeSources();
    orderTabsByLayout(this);
    assignMnemonics(this);
}

void CZone2Page::onActivate()
{
    // The unit's own input names, as on the General page.
    const UnitStatus status = model().status();
    for (int input = 0; input < 8; ++input) {
        const std::string name = status.inputName(input);
        sourceButtons_[input]->setText(name.empty() ? sourceFixed_[input]
                                                    : literalCaption(QString::fromLatin1(name.c_str())));
    }
    describeSources();
    assignMnemonics(this);
    ControlPage::onActivate();
}

void CZone2Page::describeSources()
{
    for (int input = 0; input < 8; ++input) {
        QPushButton* button = sourceButtons_[input];
        const QString shown = shownCaption(button->text());
        const QString name = shown == sourceFixed_[input]
                                 ? QStringLiteral("Zone 2 input ") + shown
                                 : QStringLiteral("Zone 2 input %1 (%2)").arg(shown, sourceFixed_[input]);
        describe(button, name,
                 QStringLiteral("Zone 2 input %1: the source sent to the second zone and the record output. "
                                "Shown pressed while it is zone 2's input.")
                     .arg(shown));
    }
}

void CZone2Page::showSource()
{
    const UnitStatus status = model().status();
    for (int input = 0; input < 8; ++input)
        sourceButtons_[input]->setChecked(status.RecordInput == input);
}

void CZone2Page::doRefresh()
{
    DeviceModel& unit = model();
    const UnitStatus status = unit.status();
    volume_->showPosition(unit.Zone2VolumePosition(), true);
    balance_->showPosition(kBalanceScale.position(status.Zone2Balance), true);
    mute_->setChecked(status.Zone2Mute != 0);
    recordOn_->setChecked(unit.RecordEnabledState() != 0);
    std::string name;
    unit.RecordInputName(name);
    currentInput_->setText(QString::fromLatin1(name.c_str()));
    showSource();
}

} // namespace bm
