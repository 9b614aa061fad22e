// The "Zone 2" tab: the second zone, whose output doubles as the record
// output: on and off, its source, its volume with mute and its balance.
#pragma once

#include "ui/control_page.h"

class QCheckBox;
class QLineEdit;

namespace bm {

class LevelControl;

class CZone2Page : public ControlPage {
    Q_OBJECT
public:
    explicit CZone2Page(const PageContext& context, QWidget* parent = nullptr);

protected:
    void doRefresh() override;

private:
    LevelControl* volume_ = nullptr;
    LevelControl* balance_ = nullptr;
    QCheckBox* mute_ = nullptr;
    QCheckBox* recordOn_ = nullptr;
    QLineEdit* currentInput_ = nullptr;
};

} // namespace bm
