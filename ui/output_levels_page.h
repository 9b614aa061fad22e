// The "Output Levels" tab: the trim of each of the unit's eight output
// channels, -10.0 to +10.0 in steps of 0.5. Its sliders are plain: every
// redraw hands the slider's value to the model, which sends only a change.
#pragma once

#include "ui/control_page.h"

#include <array>

namespace bm {

class LevelControl;

class COutputLevels : public ControlPage {
    Q_OBJECT
public:
    explicit COutputLevels(const PageContext& context, QWidget* parent = nullptr);

protected:
    void doRefresh() override;

private:
    // Indexed by output channel: 0 center, 1 sub, 2 front L, 3 front R,
    // 4 side L, 5 side R, 6 rear L, 7 rear R.
    std::array<LevelControl*, 8> channels_{};
};

} // namespace bm
