// CInfoPage: the first tab. Shows what the unit is, what it plays and its
// front-panel display, and carries the housekeeping buttons (on, off, update,
// about, communication settings, save, restore, factory reset). While it is
// the active tab the unit reports its front-panel display.
#pragma once

#include "ui/control_page.h"

#include <functional>

class QLineEdit;
class QPushButton;

namespace bm {

class CQuorControl;
class DialogRunner;

struct InfoPageServices {
    DialogRunner& dialogs;
    CQuorControl* link = nullptr;        // the running link, for the Advanced dialog
    std::function<void()> saveConfig;    // "Save Config"
    std::function<void()> restoreConfig; // "Restore Config"
    QString deviceInUse;                 // the serial device of this run, for "Comm Config"
    QString deviceNote;                  // why it is not the chosen port's ("--port"), or empty
    std::function<void()> compareConfig; // "Compare..."
    QString settingsFile;                // where the settings live, for "About"
};

struct AboutFacts;

class CInfoPage : public ControlPage {
    Q_OBJECT
public:
    CInfoPage(const PageContext& context, InfoPageServices services, QWidget* parent = nullptr);

    // Front-panel reporting on, then a refresh.
    void onActivate() override;
    // Front-panel reporting off.
    void onDeactivate() override;

    // Rewrites the seven fields from the device model; sends nothing.
    void RefreshInfoPage();

    // The buttons' actions.
    void onOn();
    void onOff();
    void onUpdateAll();
    void onAbout();
    void onCommConfig();
    void onResetConfig();

    // What the About box says of this run: the unit, its ROM and port, the
    // settings file.
    AboutFacts aboutFacts() const;

protected:
    void doRefresh() override { RefreshInfoPage(); }

private:
    QLineEdit* addField(const char* objectName);
    QPushButton* addButton(const char* text, const char* objectName, void (CInfoPage::*action)());

    InfoPageServices services_;
    QLineEdit* product_ = nullptr;
    QLineEdit* romCode_ = nullptr;
    QLineEdit* effect_ = nullptr;
    QLineEdit* input_ = nullptr;
    QLineEdit* stream_ = nullptr;
    QLineEdit* display1_ = nullptr;
    QLineEdit* display2_ = nullptr;
};

} // namespace bm
