// The Info page's "Compare...": a chosen configuration file against the unit,
// difference by difference in page units, with a tick on each difference the
// unit can take back (parameters and names; effect parameters are shown only)
// and "Restore Ticked", which writes just those.
#pragma once

#include <string>

#include "config/config_diff.h"

#include <QDialog>

#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace bm {

class DeviceModel;
class DialogRunner;
class FileDialog;
class Prompt;
class SettingsStore;

class CCompareDlg : public QDialog {
    Q_OBJECT
public:
    // `differences` between the file (side A) and the unit (side B), their
    // a and b in UTF-8 as shown.
    CCompareDlg(const QString& fileName, std::vector<ConfigDifference> differences, QWidget* parent = nullptr);

    // The differences whose tick is on.
    std::vector<ConfigDifference> ticked() const;
    // Ticks or clears the restorable difference at `row`.
    void setTicked(int row, bool on);
    QTreeWidget* list() const { return list_; }

private:
    void updateButton();

    std::vector<ConfigDifference> differences_;
    QTreeWidget* list_ = nullptr;
    QPushButton* restore_ = nullptr;
};

// Open dialog, the file read whole, the unit read by a save, the comparison
// and the dialog; on "Restore Ticked", a selective restore of the ticked
// differences and a status sweep. Failures are reported through `prompt`.
// Returns the outcome for the status line: the restore's, or why nothing was
// compared ("Configuration not compared: ..."); "" when nothing was restored
// or tried (a comparison only, a closed dialog). With `serviceDevice` (the
// panel's line is brennmarkd's) the comparison is the service's diff request
// and the ticked differences go as its restore request, each one job of its
// line; the restore carries the panel's custom-name display switch.
std::string CompareConfigAction(DeviceModel& model, FileDialog& files, DialogRunner& dialogs, Prompt& prompt,
                                SettingsStore& settings, const std::string& serviceDevice = {});

} // namespace bm
