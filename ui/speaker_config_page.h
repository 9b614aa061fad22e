// The "Speaker Config" tab: size and crossover of each speaker group and the
// side speakers' type. Choices only change the program's copy of the system
// parameters; "Update" writes the whole set to the unit, which then restarts.
#pragma once

#include "ui/control_page.h"

#include <array>

class QButtonGroup;
class QPushButton;

namespace bm {

class CSpkrConfig : public ControlPage {
    Q_OBJECT
public:
    explicit CSpkrConfig(const PageContext& context, QWidget* parent = nullptr);

    // Reads every system parameter from the unit (waiting), then shows them.
    void onActivate() override;

    // The radio groups, in the order of the table below.
    enum Group { Front, Center, Rear, SideSize, Subwoofer, SideType, GroupCount };

    // What the last "Update" did, as the status line shows it.
    QString lastOutcome() const { return outcome_; }

private:
    // The page's own refresh: selections from the model, "Update" disabled.
    // The main window's refresh leaves this page alone, so that choices not
    // yet written are kept until the tab is left.
    void showSelections();
    void update();
    void choose(Group group, int index);
    int selectionFromModel(Group group) const;

    std::array<QButtonGroup*, GroupCount> groups_{};
    QPushButton* update_ = nullptr;
    QString outcome_;
};

} // namespace bm
