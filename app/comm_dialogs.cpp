// The Comm Config and Advanced Comm Settings dialogs. Values are loaded into
// the controls when a dialog opens; OK validates and keeps them, Cancel keeps
// nothing.
#include "app/comm_dialogs.h"

#include "app/dialog_runner.h"
#include "app/small_dialogs.h"
#include "ui/access.h"
#include "link/quor_control.h"
#include "platform/prompt.h"
#include "platform/service_socket.h"
#include "platform/settings_keys.h"
#include "platform/serial_ports.h"
#include "platform/settings_store.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>
#include <optional>

namespace bm {
namespace {

QDialogButtonBox* okCancelButtons(QDialog* dialog)
{
    auto* box = new QDialogButtonBox(dialog);
    auto* ok = box->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    box->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

} // namespace

// ---------------------------------------------------------------------------
// Comm Config

CCommConfigDlg::CCommConfigDlg(const CommConfigValues& initial, SettingsStore& settings, Prompt& prompt,
                               DialogRunner& runner, CQuorControl* link, QWidget* parent)
    : QDialog(parent), settings_(settings), prompt_(prompt), runner_(runner), link_(link)
{
    setWindowTitle(QStringLiteral("Brennmark Comm Config"));

    port_ = new QComboBox(this);
    port_->setObjectName(QStringLiteral("port"));
    port_->setEditable(false);
    for (int i = 1; i <= 4; ++i)
        port_->addItem(QStringLiteral("COM%1").arg(i));
    // An index outside 0..3 leaves the list without a selection.
    port_->setCurrentIndex(initial.portIndex >= 0 && initial.portIndex < 4 ? initial.portIndex : -1);

    auto* portGroup = new QGroupBox(QStringLiteral("Serial Port"), this);
    auto* portForm = new QFormLayout;
    portForm->addRow(QStringLiteral("Port:"), port_);

    // The device each COM port opens here: typed, or picked from the serial
    // devices that exist on this machine.
    QStringList found;
    for (const std::string& d : availableSerialDevices())
        found << QString::fromStdString(d);
    auto* deviceGrid = new QGridLayout;
    deviceGrid->setColumnStretch(1, 1);
    std::array<QLabel*, 4> deviceLabels{};
    for (int i = 0; i < 4; ++i) {
        deviceLabels[i] = new QLabel(QStringLiteral("COM%1").arg(i + 1), this);
        auto* choice = new QComboBox(this);
        choice->setEditable(true);
        choice->setInsertPolicy(QComboBox::NoInsert);
        choice->addItems(found);
        // brennmarkd shares the unit: the panel speaks to it as to a line.
        choice->addItem(QStringLiteral("Brennmark service"), QString::fromLatin1(kServiceDevice));
        choice->setMinimumContentsLength(24);
        devices_[i] = choice->lineEdit();
        devices_[i]->setObjectName(QStringLiteral("device%1").arg(i + 1));
        devices_[i]->setText(QString::fromStdString(
            settings_.readString(keys::kComm, keys::kComDevice[i], keys::kComDeviceDefault[i])));
        devices_[i]->setPlaceholderText(QString::fromLatin1(keys::kComDeviceDefault[i]));
        connect(choice, &QComboBox::activated, this, [edit = devices_[i], choice](int index) {
            const QString device = choice->itemData(index).toString();
            if (!device.isEmpty())
                edit->setText(device); // the device name behind the choice's words
        });
        deviceLabels[i]->setBuddy(choice);
        deviceGrid->addWidget(deviceLabels[i], i, 0);
        deviceGrid->addWidget(choice, i, 1);
    }
    auto markSelected = [this, deviceLabels](int index) {
        for (int i = 0; i < 4; ++i) {
            QFont f = deviceLabels[i]->font();
            f.setBold(i == index);
            deviceLabels[i]->setFont(f);
        }
    };
    markSelected(port_->currentIndex());
    connect(port_, &QComboBox::currentIndexChanged, this, markSelected);

    auto* portBox = new QVBoxLayout(portGroup);
    portBox->addLayout(portForm);
    auto* devicesCaption = new QLabel(QStringLiteral("Serial device behind each port on this system:"), this);
    devicesCaption->setWordWrap(true);
    portBox->addWidget(devicesCaption);
    portBox->addLayout(deviceGrid);
    auto* foundLine = new QLabel(found.isEmpty() ? QStringLiteral("No serial device opens on this system.")
                                                 : QStringLiteral("Found here: ") + found.join(QStringLiteral(", ")),
                                 this);
    foundLine->setObjectName(QStringLiteral("found"));
    foundLine->setWordWrap(true);
    portBox->addWidget(foundLine);
    auto* serversLine = new QLabel(QStringLiteral("Behind a serial server: tcp://HOST:PORT (raw bytes) or "
                                                  "rfc2217://HOST:PORT (the server sets the line to 19200 8O1)."),
                                   this);
    serversLine->setObjectName(QStringLiteral("serialServers"));
    serversLine->setWordWrap(true);
    portBox->addWidget(serversLine);
    inUse_ = new QLabel(this);
    inUse_->setObjectName(QStringLiteral("inUse"));
    inUse_->setWordWrap(true);
    inUse_->setVisible(false);
    portBox->addWidget(inUse_);

    download_ = new QCheckBox(QStringLiteral("Download internal names "), this);
    download_->setObjectName(QStringLiteral("download"));
    download_->setChecked(initial.forceDownload != 0);
    dontShow_ = new QCheckBox(QStringLiteral("Don't show this next time "), this);
    dontShow_->setObjectName(QStringLiteral("dontShow"));
    dontShow_->setChecked(initial.dontShow != 0);

    // "Advanced" on the left, apart from OK and Cancel.
    auto* advanced = new QPushButton(QStringLiteral("Advanced"), this);
    advanced->setObjectName(QStringLiteral("advanced"));
    advanced->setAutoDefault(false);
    connect(advanced, &QPushButton::clicked, this, &CCommConfigDlg::openAdvanced);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(advanced);
    buttons->addStretch();
    buttons->addWidget(okCancelButtons(this));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(portGroup);
    layout->addWidget(download_);
    layout->addWidget(dontShow_);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    setMinimumWidth(360);
    keepCaptionWhole(*this);
    assignMnemonics(this);
}

CommConfigValues CCommConfigDlg::values() const
{
    CommConfigValues v;
    v.portIndex = port_->currentIndex();
    v.dontShow = dontShow_->isChecked() ? 1 : 0;
    v.forceDownload = download_->isChecked() ? 1 : 0;
    return v;
}

void CCommConfigDlg::showDeviceInUse(const QString& device, const QString& why)
{
    inUse_->setText(why.isEmpty() ? QStringLiteral("This run uses %1.").arg(device)
                                  : QStringLiteral("This run uses %1 (%2).").arg(device, why));
    inUse_->setVisible(true);
}

void CCommConfigDlg::accept()
{
    for (int i = 0; i < 4; ++i) {
        QString path = devices_[i]->text().trimmed();
        if (path.isEmpty())
            path = QString::fromLatin1(keys::kComDeviceDefault[i]);
        settings_.writeString(keys::kComm, keys::kComDevice[i], path.toStdString());
    }
    QDialog::accept();
}

void CCommConfigDlg::openAdvanced()
{
    // Its values go straight to the store (and the running link); they do not
    // come back into this dialog, and cancelling this one keeps them.
    CAdvancedCommDlg advanced(settings_, prompt_, link_, this);
    runner_.run(advanced);
}

// ---------------------------------------------------------------------------
// Advanced Comm Settings

namespace {

struct FieldSpec {
    const char* label;
    keys::TimingKey key;
    Timing timing;
};

// In the dialog's order (CheckInterval .. AckWaitInterval).
constexpr FieldSpec kFields[] = {
    {"Send Packet Check Interval", keys::kWritePacketCheckInterval, Timing::WritePacketCheckInterval},
    {"Extra Delay Before Sending", keys::kWritePacketExtraDelayBefore, Timing::WritePacketExtraDelayBeforeWriting},
    {"Extra Delay After Sending", keys::kWritePacketExtraDelayAfter, Timing::WritePacketExtraDelayAfterWriting},
    {"Ack Wait Count", keys::kWritePacketAckWaitCount, Timing::WritePacketAckWaitCount},
    {"Ack Wait Interval", keys::kWritePacketAckWaitInterval, Timing::WritePacketAckWaitInterval},
};

// An unsigned decimal number, or none. Numbers too large for any field still
// parse (as a value above the limit) so that they get the range message.
std::optional<unsigned long long> parseUnsigned(const QString& text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (QChar c : t)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    bool ok = false;
    const unsigned long long v = t.toULongLong(&ok);
    return ok ? v : std::numeric_limits<unsigned long long>::max();
}

} // namespace

CAdvancedCommDlg::CAdvancedCommDlg(SettingsStore& settings, Prompt& prompt, CQuorControl* link, QWidget* parent)
    : QDialog(parent), settings_(settings), prompt_(prompt), link_(link)
{
    setWindowTitle(QStringLiteral("Brennmark Advanced Comm Settings"));
    static const char* const kNames[FieldCount] = {"checkInterval", "delayBefore", "delayAfter", "ackWaitCount",
                                                   "ackWaitInterval"};
    auto* form = new QFormLayout;
    for (int i = 0; i < FieldCount; ++i) {
        fields_[i] = new QLineEdit(this);
        fields_[i]->setObjectName(QString::fromLatin1(kNames[i]));
        fields_[i]->setText(QString::number(
            keys::clampTiming(kFields[i].key, settings_.readInt(keys::kComm, kFields[i].key.name, 0))));
        fields_[i]->setAlignment(Qt::AlignRight);
        fields_[i]->setMaximumWidth(90);
        const bool isCount = (i == AckWaitCount);
        auto* row = new QHBoxLayout;
        row->addWidget(fields_[i]);
        row->addWidget(new QLabel(isCount ? QStringLiteral("times") : QStringLiteral("ms"), this));
        row->addStretch();
        form->addRow(QString::fromLatin1(kFields[i].label), row);
    }
    charDelay_ = new QCheckBox(QStringLiteral("Enable Character Delay"), this);
    charDelay_->setObjectName(QStringLiteral("charDelay"));
    charDelay_->setChecked(settings_.readInt(keys::kComm, keys::kWritePacketDoCharDelay.name, 0) != 0);
    form->addRow(QString(), charDelay_);

    auto* buttons = okCancelButtons(this);
    auto* reset = buttons->addButton(QStringLiteral("Reset Defaults"), QDialogButtonBox::ResetRole);
    reset->setObjectName(QStringLiteral("resetDefaults"));
    connect(reset, &QPushButton::clicked, this, &CAdvancedCommDlg::resetDefaults);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(6);
    layout->addWidget(buttons);
    keepCaptionWhole(*this);
    assignMnemonics(this);
}

void CAdvancedCommDlg::resetDefaults()
{
    for (auto* f : fields_)
        f->setText(QStringLiteral("10"));
    charDelay_->setChecked(true);
}

void CAdvancedCommDlg::accept()
{
    // Validation order of the dialog's data exchange; the check box between
    // "Extra Delay Before Sending" and "Send Packet Check Interval" cannot fail.
    static constexpr Field kOrder[] = {AckWaitCount, AckWaitInterval, DelayAfter, DelayBefore, CheckInterval};
    std::array<int, FieldCount> value{};
    for (Field f : kOrder) {
        const auto parsed = parseUnsigned(fields_[f]->text());
        const char* failure = nullptr;
        if (!parsed)
            failure = "Please enter a positive integer.";
        else if (*parsed > static_cast<unsigned long long>(kFields[f].key.maximum))
            failure = "Please enter an integer between 0 and 1000.";
        if (failure) {
            // The designed message, after the name of the field it is about.
            prompt_.ask(std::string(kFields[f].label) + ": " + failure);
            fields_[f]->setFocus();
            fields_[f]->selectAll();
            return;
        }
        value[f] = static_cast<int>(*parsed);
    }
    const int charDelay = charDelay_->isChecked() ? 1 : 0;

    // Before the link exists (the dialog at start-up) the values are only
    // stored: the link reads them when it is constructed a moment later.
    for (int i = 0; i < FieldCount; ++i) {
        if (link_)
            link_->setTiming(kFields[i].timing, value[i]);
        settings_.writeInt(keys::kComm, kFields[i].key.name, value[i]);
    }
    if (link_)
        link_->setTiming(Timing::WritePacketDoCharDelay, charDelay);
    settings_.writeInt(keys::kComm, keys::kWritePacketDoCharDelay.name, charDelay);
    QDialog::accept();
}

} // namespace bm
