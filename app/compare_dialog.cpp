// Compare with the unit, and restore part of a file.
#include "app/compare_dialog.h"

#include "config/config_actions.h"
#include "config/config_file.h"
#include "config/config_file_io.h"
#include "app/service_restore.h"
#include "config/config_selective_restore.h"
#include "app/dialog_runner.h"
#include "link/quor_control.h"
#include "model/control_help.h"
#include "model/device_model.h"
#include "platform/file_dialog.h"
#include "platform/prompt.h"
#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "platform/sleep.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace bm {
namespace {

enum Column { NameColumn, FileColumn, UnitColumn };

bool restorable(const ConfigDifference& d)
{
    return d.kind != ConfigDifference::Kind::EffectParam;
}

QString utf8(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A value (UTF-8) with the control's unit of measure, as the pages mean it
// ("-20 dB"); "(none)" and the like stand as they are.
QString withUnit(const std::string& text, const std::optional<controls::Control>& control)
{
    const QString shown = utf8(text);
    if (!control || control->unit.empty() || text.empty() || text[0] == '(')
        return shown;
    return shown + QLatin1Char(' ') + QString::fromStdString(control->unit);
}

constexpr const char* kNotCompared = "Configuration not compared: ";

} // namespace

CCompareDlg::CCompareDlg(const QString& fileName, std::vector<ConfigDifference> differences, QWidget* parent)
    : QDialog(parent), differences_(std::move(differences))
{
    setWindowTitle(QStringLiteral("Compare Configuration"));
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(differences_.empty()
                                   ? QStringLiteral("The unit and %1 are the same.").arg(fileName)
                                   : QStringLiteral("%1 difference(s) between %2 and the unit. Tick those to "
                                                    "restore from the file.")
                                         .arg(differences_.size())
                                         .arg(fileName),
                               this);
    heading->setObjectName(QStringLiteral("heading"));
    heading->setWordWrap(true);
    layout->addWidget(heading);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("differences"));
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("File"), QStringLiteral("Unit")});
    for (const ConfigDifference& d : differences_) {
        // In the controls table's words where a control shows the value, as
        // brennmark-cli's diff names it; the unit's definition name otherwise.
        auto control = controls::findControl(d.label);
        if (control && control->name != d.label)
            control.reset(); // a definition name ("PROGRAM") the comparison kept
        const QString name = control ? utf8(controls::labelOf(*control)) : utf8(d.label);
        auto* item = new QTreeWidgetItem(list_, {name, withUnit(d.a, control), withUnit(d.b, control)});
        if (control)
            item->setToolTip(NameColumn, utf8(d.label + ": " + controls::toolTipOf(*control)));
        if (restorable(d)) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(NameColumn, Qt::Unchecked);
        } else {
            item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
            item->setToolTip(NameColumn, QStringLiteral("Effect parameters are never restored."));
        }
    }
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list_->setMinimumSize(520, 280);
    layout->addWidget(list_);
    connect(list_, &QTreeWidget::itemChanged, this, [this] { updateButton(); });

    auto* buttons = new QDialogButtonBox(this);
    restore_ = buttons->addButton(QStringLiteral("Restore Ticked"), QDialogButtonBox::AcceptRole);
    restore_->setObjectName(QStringLiteral("restoreTicked"));
    buttons->addButton(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    restore_->setText(QStringLiteral("&Restore Ticked"));
    list_->setAccessibleName(QStringLiteral("Differences between the file and the unit"));
    updateButton();
}

std::vector<ConfigDifference> CCompareDlg::ticked() const
{
    std::vector<ConfigDifference> out;
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list_->topLevelItem(row);
        if ((item->flags() & Qt::ItemIsUserCheckable) && item->checkState(NameColumn) == Qt::Checked)
            out.push_back(differences_[static_cast<std::size_t>(row)]);
    }
    return out;
}

void CCompareDlg::setTicked(int row, bool on)
{
    QTreeWidgetItem* item = list_->topLevelItem(row);
    if (item && (item->flags() & Qt::ItemIsUserCheckable))
        item->setCheckState(NameColumn, on ? Qt::Checked : Qt::Unchecked);
}

void CCompareDlg::updateButton()
{
    restore_->setEnabled(!ticked().empty());
}

std::string CompareConfigAction(DeviceModel& model, FileDialog& files, DialogRunner& dialogs, Prompt& prompt,
                                SettingsStore& settings, const std::string& serviceDevice)
{
    const FileDialogResult chosen =
        files.run(configFileRequest(FileDialogMode::Open, "Compare Ridaziv Configuration", settings));
    if (!chosen.path) {
        reportDialogError(prompt, chosen.errorCode);
        return {};
    }
    std::string error;
    bool unreadable = false;
    const std::optional<ConfigFileContents> file = loadConfigFile(*chosen.path, error, &unreadable);
    if (!file) {
        prompt.ask(error);
        if (unreadable)
            prompt.ask("Failed to open file!");
        return kNotCompared + error;
    }
    storeLastVisited(settings, *chosen.path);

    auto notCompared = [&prompt](const std::string& why) {
        prompt.ask(kNotCompared + why + ".");
        return kNotCompared + why;
    };
    const auto otherRom = [](const std::string& refusal) { return refusal + " in the file and the unit"; };
    std::vector<ConfigDifference> differences;
    if (serviceDevice.empty()) {
        const std::optional<ConfigFileContents> unit = readUnitConfiguration(model, error);
        if (!unit)
            return notCompared(error);
        ConfigComparison comparison = compareConfigs(*file, *unit, DefinitionNames::fromModel(model), false);
        if (!comparison.refusal.empty())
            return notCompared(otherRom(comparison.refusal));
        differences = std::move(comparison.differences);
        for (ConfigDifference& d : differences) {
            d.a = controls::fromUnitText(d.a);
            d.b = controls::fromUnitText(d.b);
        }
    } else {
        // The service reads the unit and compares as one job of its line.
        ServiceDiffOutcome diff = askServiceDiff(model, serviceDevice, *chosen.path);
        if (!diff.refusal.empty())
            return notCompared(otherRom(diff.refusal));
        if (!diff.ok)
            return notCompared(diff.reason);
        differences = std::move(diff.differences);
    }
    CCompareDlg dialog(QFileInfo(QString::fromStdString(*chosen.path)).fileName(), std::move(differences));
    if (dialogs.run(dialog) != QDialog::Accepted)
        return {};

    RestoreSelection selection;
    for (const ConfigDifference& d : dialog.ticked()) {
        switch (d.kind) {
        case ConfigDifference::Kind::Param:
            for (int id : d.params)
                selection.params.insert(static_cast<std::uint8_t>(id));
            break;
        case ConfigDifference::Kind::InputName: selection.inputNames[static_cast<std::size_t>(d.id)] = true; break;
        case ConfigDifference::Kind::CustomName: selection.customName = true; break;
        case ConfigDifference::Kind::EffectParam: break;
        }
    }
    if (selection.empty())
        return {};
    // The save's closing sweep must have ended: the restore's capture would
    // take its answers.
    for (int pass = 0; pass < 100 && model.link().state().StatusSweepActive; ++pass)
        waitPumping(model.link().pump(), 50);
    const bool shown = settings.readInt(keys::kSettings, keys::kEnableCustomName, 0) != 0;
    int written = 0;
    const std::string fileName = QFileInfo(QString::fromStdString(*chosen.path)).fileName().toStdString();
    bool restored = false;
    if (serviceDevice.empty()) {
        restored = RestoreSelected(model, *file, selection, shown, written, error);
    } else {
        const std::vector<std::string> words = restoreWords(model, selection);
        // The panel's own display switch, as on the unit's own port.
        const ServiceRestoreOutcome outcome = askServiceRestore(model, serviceDevice, *chosen.path, &words, shown);
        restored = outcome.ok;
        error = outcome.reason;
    }
    if (!restored) {
        prompt.ask(error);
        prompt.ask("Failed to restore configuration!");
        return "Restore from " + fileName + " failed: " + error;
    }
    model.StartStatusSweep();
    return "Restored the ticked differences from " + fileName;
}

} // namespace bm
