// The "General" tab: master volume with mute, front/back and left/right
// balance, the eight input keys and the sixteen effect keys. Every control
// acts on the unit at once.
#pragma once

#include "ui/control_page.h"

#include <QString>

#include <array>

class QCheckBox;
class QPushButton;

namespace bm {

class LevelControl;

class CGeneralPage : public ControlPage {
    Q_OBJECT
public:
    explicit CGeneralPage(const PageContext& context, QWidget* parent = nullptr);

    void onActivate() override;

protected:
    void doRefresh() override;

private:
    // Accessible names and tool tips of the input keys, for their texts now.
    void describeInputs();
    // The unit's input and effect shown pressed, the others not.
    void showActive();

    LevelControl* volume_ = nullptr;
    LevelControl* frontBack_ = nullptr;
    LevelControl* leftRight_ = nullptr;
    QCheckBox* mute_ = nullptr;
    // Indexed by the unit's input number (0 Tape .. 7 VCR).
    std::array<QPushButton*, 8> inputButtons_{};
    std::array<QString, 8> inputFixed_{}; // "VCR" .. "Tape", when the unit gives no name
    // In screen order, with the IR key each sends (-1: none).
    std::array<QPushButton*, 16> effectButtons_{};
    std::array<int, 16> effectKeys_{};
};

} // namespace bm
