// The "Names" tab: the names the unit shows for its eight inputs and its
// custom name, and whether it shows the custom name. Names go out on "Update
// Names" or, with dynamic editing on, as they are typed; the custom name also
// when its box loses the focus. The two switches live in the settings store.
#pragma once

#include "ui/control_page.h"

#include <QString>

#include <array>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace bm {

class CNamesPage : public ControlPage {
    Q_OBJECT
public:
    explicit CNamesPage(const PageContext& context, QWidget* parent = nullptr);

    // Takes the nine names from the model again, so names changed on the unit
    // or by a configuration restore show when the tab is selected.
    void onActivate() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeNamesFromModel();
    void transferToControls();
    // Each sends only a text that differs from what the model holds, then
    // gives the unit up to 100 ms to answer.
    void updateInputName(int index);
    void updateCustomName();
    void updateNames();
    void enableCustomNameClicked(bool checked);
    void enableDynamicEditingClicked(bool checked);

    // Indexed by the unit's input number (0 Tape .. 7 VCR).
    std::array<QString, 8> inputTexts_;
    QString customText_;
    bool customNameEnabled_ = false;
    bool dynamicEditing_ = false;
    bool created_ = false;

    std::array<QLineEdit*, 8> inputEdits_{};
    QLineEdit* customEdit_ = nullptr;
    QCheckBox* enableCustomName_ = nullptr;
    QCheckBox* enableDynamicEditing_ = nullptr;
    QPushButton* updateNames_ = nullptr;
};

} // namespace bm
