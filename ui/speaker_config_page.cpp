// The "Speaker Config" tab: six radio groups and "Update".
#include "ui/speaker_config_page.h"

#include "model/control_help.h"
#include "model/device_model.h"
#include "platform/prompt.h"
#include "ui/access.h"
#include "ui/control_sheet.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cstdint>

namespace bm {

namespace {

constexpr int kSideDipole = 16;
constexpr int kSideStandard = 0;

struct GroupLayout {
    const char* title;
    const char* name;
    const char* control; // its row in the controls table
    std::array<const char*, 5> buttons; // index order; nullptr ends the list
};

const GroupLayout kGroups[CSpkrConfig::GroupCount] = {
    {"Front Speakers", "front", "front-speakers", {"Small 120 Hz", "Small 80 Hz", "Small 40 Hz", "Large", nullptr}},
    {"Center Speaker", "center", "center-speaker", {"None", "Small 120 Hz", "Small 80 Hz", "Small 40 Hz", "Large"}},
    {"Rear Speakers", "rear", "rear-speakers", {"None", "Small 120 Hz", "Small 80 Hz", "Small 40 Hz", "Large"}},
    {"Side Speakers", "sideSize", "side-speakers", {"None", "Small 120 Hz", "Small 80 Hz", "Small 40 Hz", "Large"}},
    {"Subwoofer", "subwoofer", "subwoofer", {"None", "120 Hz", "80 Hz", "40 Hz", nullptr}},
    {"Side Speakers", "sideType", "side-type", {"Standard", "Dipole", nullptr, nullptr, nullptr}},
};

// Blocks the page while the unit is read or written, showing that it works.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace

CSpkrConfig::CSpkrConfig(const PageContext& context, QWidget* parent)
    : ControlPage(context, QStringLiteral("Speaker Config"), parent)
{
    std::array<QGroupBox*, GroupCount> boxes{};
    for (int g = 0; g < GroupCount; ++g) {
        const GroupLayout& layout = kGroups[g];
        auto* box = new QGroupBox(QString::fromLatin1(layout.title), this);
        box->setObjectName(QString::fromLatin1(layout.name));
        // Both side boxes carry the same title; the names tell them apart.
        const QString label = QString::fromStdString(controls::labelOf(std::string_view(layout.control)));
        const QString tip = QString::fromStdString(controls::toolTipOf(std::string_view(layout.control)));
        describe(box, label, tip);
        auto* column = new QVBoxLayout(box);
        auto* group = new QButtonGroup(this);
        for (int i = 0; i < 5 && layout.buttons[i]; ++i) {
            auto* radio = new QRadioButton(QString::fromLatin1(layout.buttons[i]), box);
            radio->setObjectName(QStringLiteral("%1%2").arg(QString::fromLatin1(layout.name)).arg(i));
            describe(radio, label + QLatin1Char(' ') + radio->text(),
                     QStringLiteral("%1: %2. Sent with Update.").arg(label, radio->text()));
            group->addButton(radio, i);
            column->addWidget(radio);
        }
        column->addStretch(1);
        const auto which = static_cast<Group>(g);
        connect(group, &QButtonGroup::idClicked, this, [this, which](int id) { choose(which, id); });
        groups_[g] = group;
        boxes[g] = box;
    }

    update_ = new QPushButton(QStringLiteral("Update"), this);
    update_->setObjectName(QStringLiteral("update"));
    describe(update_, QStringLiteral("Update speaker configuration"),
             QStringLiteral("Writes the speaker choices to the unit, which restarts with them; the master volume "
                            "is sent again afterwards. Choices not written are dropped when the page is left."));
    update_->setAutoDefault(false);
    update_->setMinimumWidth(86);
    update_->setEnabled(false);
    connect(update_, &QPushButton::clicked, this, &CSpkrConfig::update);

    // Top row: front, subwoofer, side type; bottom row: center, rear, side size.
    auto* grid = new QGridLayout(this);
    grid->addWidget(boxes[Front], 0, 0);
    grid->addWidget(boxes[Subwoofer], 0, 1);
    grid->addWidget(boxes[SideType], 0, 2);
    grid->addWidget(update_, 0, 3, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(boxes[Center], 1, 0);
    grid->addWidget(boxes[Rear], 1, 1);
    grid->addWidget(boxes[SideSize], 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(2, 1);
    orderTabsByLayout(this);
    assignMnemonics(this);
}

void CSpkrConfig::onActivate()
{
    {
        BusyCursor busy;
        // On a failure the page shows what the model already held.
        model().GetSysParams(true);
    }
    showSelections();
    ControlPage::onActivate();
}

int CSpkrConfig::selectionFromModel(Group group) const
{
    DeviceModel& unit = model();
    switch (group) {
    case Front: return unit.GetFrontSpeakers();
    case Center: return unit.GetCenterSpeaker();
    case Rear: return unit.GetRearSpeakers();
    case SideSize: return unit.GetSideSpeakers();
    case Subwoofer: return unit.GetSubwoofer();
    case SideType: return unit.GetSideDipole() != 0 ? 1 : 0; // -1 (no side speakers) reads as "Dipole"
    case GroupCount: break;
    }
    return -1;
}

void CSpkrConfig::showSelections()
{
    // All six are read before any is shown, in the order the unit's
    // parameters are looked at: subwoofer, front, center, side size, rear, side type.
    std::array<int, GroupCount> selection{};
    for (Group g : {Subwoofer, Front, Center, SideSize, Rear, SideType})
        selection[g] = selectionFromModel(g);

    for (int g = 0; g < GroupCount; ++g) {
        QButtonGroup* group = groups_[g];
        QAbstractButton* wanted = group->button(selection[g]);
        if (wanted) {
            wanted->setChecked(true);
        } else {
            // An exclusive group will not let go of its last checked button.
            group->setExclusive(false);
            for (QAbstractButton* button : group->buttons())
                button->setChecked(false);
            group->setExclusive(true);
        }
    }
    update_->setEnabled(false);
}

void CSpkrConfig::choose(Group group, int index)
{
    DeviceModel& unit = model();
    // The result is not looked at: an unresolved group changes nothing, and
    // "Update" is offered all the same.
    switch (group) {
    case Front: unit.SetFrontSpeakers(index); break;
    case Center: unit.SetCenterSpeaker(index); break;
    case Rear: unit.SetRearSpeakers(index); break;
    case SideSize: unit.SetSideSpeakers(index); break;
    case Subwoofer: unit.SetSubwoofer(index); break;
    case SideType: unit.SetSideDipole(index == 1 ? kSideDipole : kSideStandard); break;
    case GroupCount: break;
    }
    update_->setEnabled(true);
}

void CSpkrConfig::update()
{
    DeviceModel& unit = model();
    const std::uint8_t volume = unit.status().Volume;
    int written = 0;
    {
        BusyCursor busy;
        written = unit.SetSysParams(true);
    }
    // Only what was seen is said: written (acknowledged and restarted), sent
    // but not confirmed (no answer, or acknowledged with no restart seen: a
    // unit held up may still apply it), or not written and why (-1: nothing
    // could be sent at all).
    const Outcome outcome = written == -1 ? Outcome::Pending : unit.lastParamWrite();
    if (written == 1) {
        outcome_ = QStringLiteral("Speaker configuration written");
    } else if (outcome == Outcome::Unconfirmed) {
        outcome_ = QStringLiteral("Speaker configuration not confirmed: the unit acknowledged the write but did not "
                                  "restart with it");
    } else if (outcome == Outcome::NotAnswered) {
        outcome_ = QStringLiteral("Speaker configuration not confirmed: the unit did not answer the write");
    } else {
        prompt().ask("Set System Parameters Failed.");
        outcome_ = written == -1 ? QStringLiteral("Speaker configuration not written: nothing could be sent")
                                 : QStringLiteral("Speaker configuration not written (%1)")
                                       .arg(QString::fromLatin1(outcomeText(outcome)));
    }
    int reread = 0;
    {
        BusyCursor busy;
        reread = unit.GetSysParams(true);
    }
    if (reread != 1)
        outcome_ += QStringLiteral("; the unit's values could not be read back");
    reportOutcome(this, outcome_);
    // The unit restarted with the new parameters; 255 matches no real volume,
    // so the level it had before goes out again whatever the model holds now.
    unit.setVolumeField(255);
    unit.SetVolume(volume);
    showSelections();
}

} // namespace bm
