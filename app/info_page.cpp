// The Info page: identity, what is playing, the front-panel display and the
// housekeeping buttons.
#include "app/info_page.h"

#include "app/comm_dialogs.h"
#include "app/dialog_runner.h"
#include "app/small_dialogs.h"
#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "platform/sleep.h"
#include "ui/access.h"
#include "ui/control_sheet.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <cstdio>

namespace bm {
namespace {

QString latin1(const std::string& s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

template <typename... Args>
QString format(const char* fmt, Args... args)
{
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return QString::fromLatin1(buffer);
}

} // namespace

CInfoPage::CInfoPage(const PageContext& context, InfoPageServices services, QWidget* parent)
    : ControlPage(context, QStringLiteral("Info"), parent), services_(std::move(services))
{
    // Identity.
    auto* unitGroup = new QGroupBox(QStringLiteral("Unit"), this);
    auto* unitForm = new QFormLayout(unitGroup);
    unitForm->setLabelAlignment(Qt::AlignLeft);
    product_ = addField("product");
    romCode_ = addField("romCode");
    unitForm->addRow(QStringLiteral("Product:"), product_);
    unitForm->addRow(QStringLiteral("ROM Code"), romCode_);

    // What is playing.
    auto* playGroup = new QGroupBox(QStringLiteral("Now Playing"), this);
    auto* playForm = new QFormLayout(playGroup);
    effect_ = addField("effect");
    input_ = addField("input");
    stream_ = addField("stream");
    playForm->addRow(QStringLiteral("Current Effect"), effect_);
    playForm->addRow(QStringLiteral("Current Input"), input_);
    playForm->addRow(QStringLiteral("Data Stream"), stream_);
    describeControl(product_, "product");
    describeControl(romCode_, "rom");
    describeControl(effect_, "effect", QStringLiteral("Current effect"));
    describeControl(input_, "input", QStringLiteral("Current input"));
    describeControl(stream_, "stream");

    // Both label columns as wide as the widest label, so the fields line up.
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("Current Effect")) + 12;
    for (auto* form : {unitForm, playForm})
        for (int row = 0; row < form->rowCount(); ++row)
            if (auto* item = form->itemAt(row, QFormLayout::LabelRole); item && item->widget())
                item->widget()->setMinimumWidth(labelWidth);

    // The front-panel display, drawn like the unit's own.
    auto* displayGroup = new QGroupBox(QStringLiteral("Front Panel Display"), this);
    auto* displayBox = new QVBoxLayout(displayGroup);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(mono.pointSizeF() * 1.35);
    mono.setBold(true);
    for (QLineEdit** line : {&display1_, &display2_}) {
        *line = addField(line == &display1_ ? "display1" : "display2");
        (*line)->setFont(mono);
        (*line)->setAlignment(Qt::AlignCenter);
        (*line)->setStyleSheet(QStringLiteral(
            "QLineEdit { background: #0f1d24; color: #6ff2c6; border: 2px solid #33444c;"
            " border-radius: 4px; padding: 4px 8px; }"));
        (*line)->setMinimumWidth(QFontMetrics(mono).horizontalAdvance(QString(23, QLatin1Char('M'))));
        displayBox->addWidget(*line);
    }
    describeControl(display1_, "display-1");
    describeControl(display2_, "display-2");

    auto* left = new QVBoxLayout;
    left->addWidget(unitGroup);
    left->addWidget(playGroup);
    left->addWidget(displayGroup);
    left->addStretch();

    // Buttons, grouped by what they touch.
    auto* powerGroup = new QGroupBox(QStringLiteral("Unit Control"), this);
    auto* powerBox = new QGridLayout(powerGroup);
    powerBox->addWidget(addButton("On", "on", &CInfoPage::onOn), 0, 0);
    powerBox->addWidget(addButton("Off", "off", &CInfoPage::onOff), 0, 1);
    powerBox->addWidget(addButton("Update All", "updateAll", &CInfoPage::onUpdateAll), 1, 0, 1, 2);

    auto* programGroup = new QGroupBox(QStringLiteral("Program"), this);
    auto* programBox = new QVBoxLayout(programGroup);
    for (auto* button : {addButton("About", "about", &CInfoPage::onAbout),
                         addButton("Comm Config", "commConfig", &CInfoPage::onCommConfig)}) {
        button->setProperty(kWorksOffline, true); // they send nothing to the unit
        programBox->addWidget(button);
    }

    auto* configGroup = new QGroupBox(QStringLiteral("Configuration"), this);
    auto* configBox = new QVBoxLayout(configGroup);
    auto* save = addButton("Save Config", "saveConfig", nullptr);
    auto* restore = addButton("Restore Config", "restoreConfig", nullptr);
    connect(save, &QPushButton::clicked, this, [this] {
        if (services_.saveConfig)
            services_.saveConfig();
    });
    connect(restore, &QPushButton::clicked, this, [this] {
        if (services_.restoreConfig)
            services_.restoreConfig();
    });
    auto* compare = addButton("Compare...", "compareConfig", nullptr);
    connect(compare, &QPushButton::clicked, this, [this] {
        if (services_.compareConfig)
            services_.compareConfig();
    });
    save->setEnabled(static_cast<bool>(services_.saveConfig));
    restore->setEnabled(static_cast<bool>(services_.restoreConfig));
    compare->setEnabled(static_cast<bool>(services_.compareConfig));
    configBox->addWidget(save);
    configBox->addWidget(restore);
    configBox->addWidget(compare);
    configBox->addSpacing(6);
    configBox->addWidget(addButton("Reset Config", "resetConfig", &CInfoPage::onResetConfig));

    struct Help {
        const char* object;
        const char* name;
        const char* tip;
    };
    static const Help kHelp[] = {
        {"on", "Power on", "Switches the unit on (its ON key)."},
        {"off", "Power off", "Switches the unit to standby (its OFF key)."},
        {"updateAll", "Update all", "Reads the unit's whole status again."},
        {"about", "About Brennmark", "The program's version, build, licence, and the unit and port in use."},
        {"commConfig", "Communication settings",
         "The serial port and its device, and the link's timing. A new port takes effect at the next start."},
        {"saveConfig", "Save configuration", "Saves the unit's whole configuration to a .lex file (Ctrl+S)."},
        {"restoreConfig", "Restore configuration",
         "Writes a saved .lex file back to the unit, which restarts with it (Ctrl+O)."},
        {"compareConfig", "Compare configuration",
         "Compares a saved .lex file with the unit, difference by difference, and restores the ticked ones."},
        {"resetConfig", "Reset to factory defaults",
         "Resets the unit's whole configuration to its factory defaults, after two questions."},
    };
    for (const Help& help : kHelp)
        if (auto* button = findChild<QPushButton*>(QString::fromLatin1(help.object)))
            describe(button, QString::fromLatin1(help.name), QString::fromLatin1(help.tip));
    // Save and Restore by their usual keys while this page is shown.
    for (auto [button, keys] : {std::pair{save, QKeySequence(QKeySequence::Save)},
                                std::pair{restore, QKeySequence(QKeySequence::Open)}}) {
        auto* shortcut = new QShortcut(keys, button, nullptr, nullptr, Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled())
                button->click();
        });
    }

    auto* right = new QVBoxLayout;
    right->addWidget(powerGroup);
    right->addWidget(programGroup);
    right->addWidget(configGroup);
    right->addStretch();

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    layout->addLayout(left, 1);
    layout->addLayout(right);
    unitGroup->setAccessibleName(QStringLiteral("Unit identity"));
    powerGroup->setAccessibleName(QStringLiteral("Unit control"));
    orderTabsByLayout(this);
    assignMnemonics(this);
}

QLineEdit* CInfoPage::addField(const char* objectName)
{
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::fromLatin1(objectName));
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::NoFocus);
    // Room for the longest line the tables give, such as the ROM code line.
    field->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("2.14 (Pre-Alpha)  99/03/09 18:34")) + 16);
    return field;
}

QPushButton* CInfoPage::addButton(const char* text, const char* objectName, void (CInfoPage::*action)())
{
    auto* button = new QPushButton(QString::fromLatin1(text), this);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setMinimumWidth(120);
    button->setAutoDefault(false);
    if (action)
        connect(button, &QPushButton::clicked, this, action);
    return button;
}

void CInfoPage::onActivate()
{
    model().SetFrontPanelControl(0xFF, 0xFF, 0xFF, 0xC8);
    ControlPage::onActivate();
}

void CInfoPage::onDeactivate()
{
    model().SetFrontPanelControl(0x00, 0x00, 0x00, 0x32);
    ControlPage::onDeactivate();
}

void CInfoPage::RefreshInfoPage()
{
    const UnitConfig config = model().unitConfig();
    product_->setText(format("%s  %s", ProductName(config.ProductId), SoftwareTypeName(config.SoftwareType)));
    romCode_->setText(format("%d.%02d (%s) %15.15s", config.SoftwareMajorRev, config.SoftwareMinorRev,
                             SoftwareLevelName(config.SoftwareLevel), config.TimeStamp.data()));

    std::string text;
    model().InputNameOf(text);
    input_->setText(latin1(text));
    text.clear();
    model().CurrentEffectName(text);
    effect_->setText(latin1(text));

    const UnitStatus status = model().status();
    stream_->setText(format("%s  %s", StreamFormatName(status.StreamFormat), SampleRateName(status.SampleRate)));
    display1_->setText(latin1(status.displayLine1()));
    display2_->setText(latin1(status.displayLine2()));
}

void CInfoPage::onOn()
{
    model().SendIrKey(IR_ON);
}

void CInfoPage::onOff()
{
    model().SendIrKey(IR_OFF);
    model().markUnitOff();
    RefreshInfoPage();
}

void CInfoPage::onUpdateAll()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    model().StartStatusSweep();
    waitPumping(model().link().pump(), 500);
    RefreshInfoPage();
    QApplication::restoreOverrideCursor();
    if (CGeneralControlSheet* sheet = CGeneralControlSheet::of(this))
        sheet->showOutcome(QStringLiteral("Update All: reading the unit..."), QStringLiteral("Update All done"));
}

void CInfoPage::onAbout()
{
    CAboutDlg about(aboutFacts(), window());
    services_.dialogs.run(about);
}

AboutFacts CInfoPage::aboutFacts() const
{
    AboutFacts facts;
    const UnitConfig config = model().unitConfig();
    if (config.ProductId == 1 || config.ProductId == 2) {
        facts.unit = QString::fromLatin1(ProductName(config.ProductId));
        facts.rom = format("%d.%02d (%s) %s", config.SoftwareMajorRev, config.SoftwareMinorRev,
                           SoftwareLevelName(config.SoftwareLevel), config.TimeStamp.data());
    }
    facts.port = services_.deviceInUse;
    facts.settingsFile = services_.settingsFile;
    return facts;
}

void CInfoPage::onCommConfig()
{
    CommConfigValues values;
    values.portIndex = settings().readInt(keys::kComm, keys::kCommPort, 0);
    values.dontShow = settings().readInt(keys::kComm, keys::kDontShow, 0);
    values.forceDownload = settings().readInt(keys::kComm, keys::kForceDownload, 0);
    CCommConfigDlg dialog(values, settings(), prompt(), services_.dialogs, services_.link, window());
    if (!services_.deviceInUse.isEmpty())
        dialog.showDeviceInUse(services_.deviceInUse, services_.deviceNote);
    if (services_.dialogs.run(dialog) != QDialog::Accepted)
        return;
    // Only stored: the running link keeps its port; the next start uses them.
    values = dialog.values();
    settings().writeInt(keys::kComm, keys::kCommPort, values.portIndex);
    settings().writeInt(keys::kComm, keys::kDontShow, values.dontShow);
    settings().writeInt(keys::kComm, keys::kForceDownload, values.forceDownload);
}

void CInfoPage::onResetConfig()
{
    if (prompt().ask("Do you really wish to Reset the Ridaziv's configuration to factory defaults?",
                     PromptButtons::OkCancel) != PromptAnswer::Ok)
        return;
    if (prompt().ask("Are you absolutely sure?", PromptButtons::OkCancel) != PromptAnswer::Ok)
        return;
    model().RestoreDefaults();
}

} // namespace bm
