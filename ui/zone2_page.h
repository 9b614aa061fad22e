// The "Zone 2" tab: the second zone, whose output doubles as the record
// output: on and off, its source, its volume with mute and its balance.
#pragma once

#include "ui/control_page.h"

#include <QString>

#include <array>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace bm {

class LevelControl;

class CZone2Page : public ControlPage {
    Q_OBJECT
public:
    explicit CZone2Page(const PageContext& context, QWidget* parent = nullptr);

    void onActivate() override;

protected:
    void doRefresh() override;

private:
    void describeSources();
    // Zone 2's source shown pressed, the others not.
    void showSource();

    LevelControl* volume_ = nullptr;
    LevelControl* balance_ = nullptr;
    QCheckBox* mute_ = nullptr;
    QCheckBox* recordOn_ = nullptr;
    QLineEdit* currentInput_ = nullptr;
    // By input number (0 Tape .. 7 VCR).
    std::array<QPushButton*, 8> sourceButtons_{};
    std::array<QString, 8> sourceFixed_{};
};

} // namespace bm
