// The "Names" tab: input and custom names, and the two name switches.
#include "ui/names_page.h"

#include "link/quor_control.h"
#include "model/device_model.h"
#include "model/text_fields.h"
#include "platform/prompt.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "ui/access.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <string>

namespace bm {

namespace {

constexpr int kInputNameLength = static_cast<int>(kInputNameWidth);
constexpr int kCustomNameLength = static_cast<int>(kCustomNameWidth);
constexpr int kReplyWaitMs = 100;

// "Update Names" sends the inputs in this order, after the custom name.
constexpr int kUpdateOrder[8] = {3, 2, 6, 0, 1, 4, 7, 5};

// The two columns of input-name boxes, top to bottom: label and input number.
struct NameRow {
    const char* label;
    int input;
};
constexpr NameRow kLeftColumn[4] = {{"VCR", 7}, {"DVD", 6}, {"V-Disc", 5}, {"TV", 4}};
constexpr NameRow kRightColumn[4] = {{"Aux", 3}, {"CD", 2}, {"Tuner", 1}, {"Tape", 0}};

// The unit's texts are 8-bit; Latin-1 maps them one to one.
QString fromUnit(const std::string& text)
{
    return QString::fromLatin1(text.c_str());
}

std::string toUnit(const QString& text)
{
    return text.toLatin1().toStdString();
}

} // namespace

CNamesPage::CNamesPage(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("Names"), parent)
{
    takeNamesFromModel();
    dynamicEditing_ = settings().readInt(keys::kSettings, keys::kEnableDynamicNameEditing, 0) != 0;
    customNameEnabled_ = settings().readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;

    auto* inputBox = new QGroupBox(QStringLiteral("Input Names"), this);
    auto* grid = new QGridLayout(inputBox);
    grid->setHorizontalSpacing(10);
    auto addRow = [&](const NameRow& row, int line, int column) {
        auto* edit = new QLineEdit(inputBox);
        edit->setObjectName(QStringLiteral("inputName%1").arg(row.input));
        edit->setMaxLength(kInputNameLength);
        edit->setFixedWidth(140);
        edit->installEventFilter(this);
        const int input = row.input;
        connect(edit, &QLineEdit::textEdited, this, [this, input] {
            if (dynamicEditing_)
                updateInputName(input);
        });
        auto* label = new QLabel(QString::fromLatin1(row.label), inputBox);
        label->setBuddy(edit);
        describeControl(edit, "input-name-" + std::to_string(row.input + 1));
        grid->addWidget(label, line, column, Qt::AlignRight);
        grid->addWidget(edit, line, column + 1);
        inputEdits_[input] = edit;
    };
    for (int line = 0; line < 4; ++line) {
        addRow(kLeftColumn[line], line, 0);
        addRow(kRightColumn[line], line, 3);
    }
    grid->setColumnMinimumWidth(2, 32);
    grid->setColumnStretch(5, 1);

    auto* customBox = new QGroupBox(QStringLiteral("Custom Name"), this);
    auto* customRow = new QHBoxLayout(customBox);
    customEdit_ = new QLineEdit(customBox);
    customEdit_->setObjectName(QStringLiteral("customName"));
    customEdit_->setMaxLength(kCustomNameLength);
    customEdit_->setFixedWidth(240);
    customEdit_->installEventFilter(this);
    describeControl(customEdit_, "custom-name");
    connect(customEdit_, &QLineEdit::textEdited, this, [this] {
        if (dynamicEditing_)
            updateCustomName();
    });
    enableCustomName_ = new QCheckBox(QStringLiteral("Enable Custom Name"), customBox);
    enableCustomName_->setObjectName(QStringLiteral("enableCustomName"));
    describe(enableCustomName_, QStringLiteral("Enable custom name"),
             QStringLiteral("Whether the unit shows the custom name. Sent to the unit with the name; this program "
                            "keeps the switch in its settings, since the unit cannot be asked for it."));
    connect(enableCustomName_, &QCheckBox::clicked, this, &CNamesPage::enableCustomNameClicked);
    customRow->addWidget(customEdit_);
    customRow->addSpacing(16);
    customRow->addWidget(enableCustomName_);
    customRow->addStretch(1);

    enableDynamicEditing_ = new QCheckBox(QStringLiteral("Enable Dynamic Editing"), this);
    enableDynamicEditing_->setObjectName(QStringLiteral("enableDynamicEditing"));
    describe(enableDynamicEditing_, QStringLiteral("Enable dynamic editing"),
             QStringLiteral("Sends each name to the unit as it is typed; Update Names is off meanwhile."));
    connect(enableDynamicEditing_, &QCheckBox::clicked, this, &CNamesPage::enableDynamicEditingClicked);
    updateNames_ = new QPushButton(QStringLiteral("Update Names"), this);
    updateNames_->setObjectName(QStringLiteral("updateNames"));
    describe(updateNames_, QStringLiteral("Update names"),
             QStringLiteral("Sends the custom name and every input name changed here to the unit."));
    updateNames_->setAutoDefault(false);
    updateNames_->setMinimumWidth(110);
    connect(updateNames_, &QPushButton::clicked, this, &CNamesPage::updateNames);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(enableDynamicEditing_);
    bottom->addStretch(1);
    bottom->addWidget(updateNames_);

    auto* root = new QVBoxLayout(this);
    root->addWidget(inputBox);
    root->addWidget(customBox);
    root->addSpacing(6);
    root->addLayout(bottom);
    root->addStretch(1);
    orderTabsByLayout(this);
    assignMnemonics(this);

    transferToControls();
}

void CNamesPage::takeNamesFromModel()
{
    const UnitStatus status = model().status();
    for (int input = 0; input < 8; ++input)
        inputTexts_[input] = fromUnit(status.inputName(input));
    customText_ = fromUnit(status.customName());
}

void CNamesPage::transferToControls()
{
    for (int input = 0; input < 8; ++input)
        inputEdits_[input]->setText(inputTexts_[input]);
    customEdit_->setText(customText_);
    enableCustomName_->setChecked(customNameEnabled_);
    enableDynamicEditing_->setChecked(dynamicEditing_);
    updateNames_->setEnabled(!dynamicEditing_);
}

void CNamesPage::onActivate()
{
    takeNamesFromModel();
    transferToControls();
    if (!created_) {
        created_ = true;
        // With dynamic editing on, whatever differs from the unit goes out as
        // the page first opens. The names were taken just above, not kept from
        // construction: a restore in between must not be undone.
        if (dynamicEditing_)
            updateNames();
    }
    ControlPage::onActivate();
}

bool CNamesPage::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        if (watched == customEdit_) {
            updateCustomName();
        } else if (dynamicEditing_) {
            for (int input = 0; input < 8; ++input) {
                if (watched == inputEdits_[input])
                    updateInputName(input);
            }
        }
    }
    return ControlPage::eventFilter(watched, event);
}

void CNamesPage::updateInputName(int index)
{
    // Trailing blanks are no part of a name: typing one sends nothing.
    const std::string text = toUnit(inputEdits_[index]->text());
    if (trimName(text) == model().status().inputName(index))
        return;
    model().SetInputName(index, text);
    // Paces the names; whether the unit answered in time is not looked at.
    model().link().WaitForReply(kReplyWaitMs);
}

void CNamesPage::updateCustomName()
{
    const std::string text = toUnit(customEdit_->text());
    if (trimName(text) == model().status().customName())
        return;
    model().SetCustomName(enableCustomName_->isChecked(), text);
    model().link().WaitForReply(kReplyWaitMs);
}

void CNamesPage::updateNames()
{
    updateCustomName();
    for (int input : kUpdateOrder)
        updateInputName(input);
}

void CNamesPage::enableCustomNameClicked(bool checked)
{
    customNameEnabled_ = checked;
    if (!settings().writeInt(keys::kSettings, keys::kEnableCustomName, checked ? 1 : 0))
        prompt().ask("Failed to write ENABLE_CUSTOMNAME registry item!");
    // The name the unit holds, not the box's text: only the switch changes.
    model().SetCustomName(checked, model().status().customName());
    model().link().WaitForReply(kReplyWaitMs);
}

void CNamesPage::enableDynamicEditingClicked(bool checked)
{
    dynamicEditing_ = checked;
    if (!settings().writeInt(keys::kSettings, keys::kEnableDynamicNameEditing, checked ? 1 : 0))
        prompt().ask("Failed to write ENABLE_DYNAMIC_NAME_EDITING registry item!");
    updateNames_->setEnabled(!dynamicEditing_);
    // Edits made before switching it on go out now.
    if (dynamicEditing_)
        updateNames();
}

} // namespace bm
