// The "General" tab: volume, balances, mute, input and effect keys.
#include "ui/general_page.h"

#include "link/packet.h"
#include "model/control_help.h"
#include "model/controls.h"
#include "model/device_model.h"
#include "model/levels.h"
#include "ui/access.h"
#include "ui/level_control.h"
#include "ui/tracked_slider.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>

namespace bm {

namespace {

struct KeyButton {
    const char* text;
    int key; // IR key code, or -1 for none
};

// Input keys in screen order, two rows of four. `input` is the unit's input
// number whose name the button takes on activation.
struct InputButton {
    const char* text;
    std::uint8_t key;
    int input;
};
constexpr InputButton kInputButtons[8] = {
    {"VCR", INPUT_VCR, 7}, {"DVD", INPUT_DVD, 6}, {"VDisc", INPUT_VDISC, 5}, {"TV", INPUT_TV, 4},
    {"AUX", INPUT_AUX, 3}, {"CD", INPUT_CD, 2},   {"Tuner", INPUT_TUNER, 1}, {"Tape", INPUT_TAPE, 0},
};

// Effect keys in screen order, four rows of four. "96K Ports" has no key:
// nothing tells what the unit would do with EFFECT_DIGAUDIO, so it stays inert.
constexpr KeyButton kEffectButtons[16] = {
    {"Dolby Digital", EFFECT_DOLBY},      {"THX", EFFECT_THX},
    {"Logic 7", EFFECT_LOGIC7},           {"dts", EFFECT_DTS},
    {"2 Channel", EFFECT_2CH},            {"Party", EFFECT_PARTY},
    {"TV Matrix", EFFECT_TVMATRIX},       {"Music Logic", EFFECT_MUSICLOGIC},
    {"Night Club", EFFECT_NIGHTCLUB},     {"Concert", EFFECT_CONCERT},
    {"Church", EFFECT_CHURCH},            {"Cathedral", EFFECT_CATHEDRAL},
    {"96K Ports", -1},                    {"Panorama", EFFECT_PANORAMA},
    {"Monologic", EFFECT_MONOLOGIC},      {"Music Surr.", EFFECT_MUSICSURROUND},
};

// Checkable, so that the unit's active input and effect show pressed; the
// check follows the unit's reports, never the click itself.
QPushButton* makeKeyButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    button->setCheckable(true);
    return button;
}

QString words(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

CGeneralPage::CGeneralPage(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("General"), parent)
{
    DeviceModel& unit = model();

    volume_ = new LevelControl(
        unit,
        LevelControl::volumeSetup(QStringLiteral("volume"),
                                  [&unit](int v) { unit.SetVolume(static_cast<std::uint8_t>(v)); }),
        this);

    LevelControl::Setup frontBack;
    frontBack.orientation = Qt::Vertical;
    frontBack.scale = kFrontBackScale; // top is front
    frontBack.tickInterval = 4;
    frontBack.send = [&unit](int f) { unit.SetFrontBackBalance(static_cast<std::uint8_t>(f)); };
    frontBack.name = QStringLiteral("frontBack");
    frontBack_ = new LevelControl(unit, frontBack, this);

    leftRight_ = new LevelControl(
        unit,
        LevelControl::balanceSetup(QStringLiteral("leftRight"),
                                   [&unit](int b) { unit.SetBalance(static_cast<std::uint8_t>(b)); }),
        this);

    mute_ = new QCheckBox(QStringLiteral("Mute"), this);
    mute_->setObjectName(QStringLiteral("mute"));
    describeControl(mute_, "mute");
    describeLevel(*volume_, "volume");
    describeLevel(*frontBack_, "front-back");
    describeLevel(*leftRight_, "balance");
    connect(mute_, &QCheckBox::clicked, this,
            [this](bool checked) { model().SetMute(checked ? 1 : 0); });

    // Volume and Front/Back: two narrow columns at the left.
    auto* volumeBox = new QGroupBox(QStringLiteral("Volume"), this);
    auto* volumeColumn = new QVBoxLayout(volumeBox);
    volumeColumn->addWidget(volume_->slider(), 1, Qt::AlignHCenter);
    volumeColumn->addWidget(mute_, 0, Qt::AlignHCenter);
    volumeColumn->addLayout(volume_->makeStepColumn());

    auto* frontBackBox = new QGroupBox(QStringLiteral("Front/Back"), this);
    auto* frontBackColumn = new QVBoxLayout(frontBackBox);
    frontBackColumn->addWidget(frontBack_->slider(), 1, Qt::AlignHCenter);
    // Keeps the value row level with the volume's, which has "Mute" above it.
    frontBackColumn->addSpacing(mute_->sizeHint().height() + volumeColumn->spacing());
    frontBackColumn->addLayout(frontBack_->makeStepColumn());

    // Input, Effects and Left/Right Balance stacked at the right.
    auto* inputBox = new QGroupBox(QStringLiteral("Input"), this);
    auto* inputGrid = new QGridLayout(inputBox);
    for (int i = 0; i < 8; ++i) {
        const InputButton& entry = kInputButtons[i];
        QPushButton* button = makeKeyButton(QString::fromLatin1(entry.text), inputBox);
        button->setObjectName(QStringLiteral("input%1").arg(entry.input));
        const std::uint8_t key = entry.key;
        connect(button, &QPushButton::clicked, this, [this, key] {
            showActive(); // the unit's report moves the check, not the click
            model().SendIrKey(key);
        });
        inputGrid->addWidget(button, i / 4, i % 4);
        inputButtons_[entry.input] = button;
        inputFixed_[entry.input] = QString::fromLatin1(entry.text);
    }

    auto* effectsBox = new QGroupBox(QStringLiteral("Effects"), this);
    auto* effectsGrid = new QGridLayout(effectsBox);
    for (int i = 0; i < 16; ++i) {
        const KeyButton& entry = kEffectButtons[i];
        QPushButton* button = makeKeyButton(QString::fromLatin1(entry.text), effectsBox);
        button->setObjectName(QStringLiteral("effect%1").arg(i));
        const QString text = QString::fromLatin1(entry.text);
        if (entry.key >= 0) {
            const auto key = static_cast<std::uint8_t>(entry.key);
            connect(button, &QPushButton::clicked, this, [this, key] {
                showActive();
                model().SendIrKey(key);
            });
            describe(button, QStringLiteral("Effect ") + text,
                     QStringLiteral("Effect %1: %2. Shown pressed while it is the unit's effect.")
                         .arg(text, words(controls::purposeOf(*controls::findControl("effect")))));
        } else {
            // Nothing tells what the unit would do with EFFECT_DIGAUDIO.
            button->setCheckable(false);
            describe(button, QStringLiteral("Effect ") + text,
                     QStringLiteral("%1: no command of the unit is known for it; the button sends nothing.").arg(text));
        }
        effectsGrid->addWidget(button, i / 4, i % 4);
        effectButtons_[i] = button;
        effectKeys_[i] = entry.key;
    }

    auto* leftRightBox = new QGroupBox(QStringLiteral("Left/Right Balance"), this);
    leftRightBox->setLayout(leftRight_->makeSliderRow());

    auto* right = new QVBoxLayout;
    right->addWidget(inputBox);
    right->addWidget(effectsBox);
    right->addWidget(leftRightBox);
    right->addStretch(1);

    auto* root = new QHBoxLayout(this);
    root->addWidget(volumeBox);
    root->addWidget(frontBackBox);
    root->addLayout(right, 1);

    describeInputs();
    orderTabsByLayout(this);
    assignMnemonics(this);
}

void CGeneralPage::describeInputs()
{
    const std::string purpose = controls::purposeOf(*controls::findControl("input"));
    for (int input = 0; input < 8; ++input) {
        QPushButton* button = inputButtons_[input];
        QString shown = shownCaption(button->text());
        if (shown.isEmpty())
            shown = inputFixed_[input];
        const QString name = shown == inputFixed_[input]
                                 ? QStringLiteral("Input ") + shown
                                 : QStringLiteral("Input %1 (%2)").arg(shown, inputFixed_[input]);
        describe(button, name,
                 QStringLiteral("Input %1: %2. Shown pressed while it is the unit's input.").arg(shown, words(purpose)));
    }
}

void CGeneralPage::showActive()
{
    DeviceModel& unit = model();
    const UnitStatus status = unit.status();
    for (int input = 0; input < 8; ++input)
        inputButtons_[input]->setChecked(status.Input == input);
    std::string effect;
    unit.CurrentEffectName(effect);
    const auto key = effect.empty() ? std::nullopt : controls::effectKeyOfName(effect);
    for (int i = 0; i < 16; ++i)
        effectButtons_[i]->setChecked(key && effectKeys_[i] == *key);
}

void CGeneralPage::onActivate()
{
    // The buttons carry the unit's own input names, taken afresh each time so
    // that a name changed on the Names page or on the unit shows here.
    const UnitStatus status = model().status();
    for (int input = 0; input < 8; ++input)
        inputButtons_[input]->setText(literalCaption(QString::fromLatin1(status.inputName(input).c_str())));
    describeInputs();
    assignMnemonics(this);
    ControlPage::onActivate();
}

void CGeneralPage::doRefresh()
{
    DeviceModel& unit = model();
    const UnitStatus status = unit.status();
    volume_->showPosition(unit.VolumePosition());
    leftRight_->showPosition(kBalanceScale.position(status.Balance));
    frontBack_->showPosition(unit.FrontBackPosition());
    mute_->setChecked(status.Mute != 0);
    showActive();
}

} // namespace bm
