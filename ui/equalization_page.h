// The "Equalization" tab: bass, treble and tilt, which the model walks to the
// chosen level with the unit's IR keys, and the loudness switch.
#pragma once

#include "ui/control_page.h"

class QCheckBox;

namespace bm {

class LevelControl;

class CEqualizationPage : public ControlPage {
    Q_OBJECT
public:
    explicit CEqualizationPage(const PageContext& context, QWidget* parent = nullptr);

protected:
    void doRefresh() override;

private:
    LevelControl* bass_ = nullptr;
    LevelControl* treble_ = nullptr;
    LevelControl* tilt_ = nullptr;
    QCheckBox* loudness_ = nullptr;
};

} // namespace bm
