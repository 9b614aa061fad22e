// CGeneralControlSheet: the program's visible window, a modeless tabbed sheet
// of control pages with a status line under the tabs. Switching tabs
// deactivates the page left and activates the page chosen; closing the sheet
// asks the main window to close. The status line says where the program
// stands with the unit and what just happened; while the line is lost the
// controls that would send are off.
#pragma once

#include "link/link_state.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QDialog;
class QLabel;
class QStatusBar;
class QTabWidget;

namespace bm {

class ControlPage;

class CGeneralControlSheet : public QWidget {
    Q_OBJECT
public:
    // `onClose` runs when the user closes the sheet (the main window posts
    // itself a close request there).
    CGeneralControlSheet(const QString& caption, std::function<void()> onClose, QWidget* parent = nullptr);

    // Adds a tab captioned with the page's caption. The sheet takes the page.
    void addPage(ControlPage* page);
    // Makes the first page the active one (and activates it). Call once, when
    // every page has been added.
    void start();
    // From now on pages are neither activated nor deactivated (the main window
    // is deleting them).
    void beginTeardown();

    ControlPage* activePage() const;
    int pageCount() const;
    ControlPage* page(int index) const;
    // Selects tab `index`, as a click on it would.
    void setActiveIndex(int index);

    // The status line's first part: where the program stands with `unit`
    // (e.g. "DE-1") on `device`. Lost and Reconnecting switch off every
    // control that sends; any other state switches them on again.
    void setLineState(LineState state, const QString& unit, const QString& device);
    LineState lineState() const { return line_; }
    QString lineText() const;
    // The status line's second part: what just happened. `whenSweepEnds`, if
    // given, replaces it once the main window sees the status sweep finished.
    void showOutcome(const QString& text, const QString& whenSweepEnds = {});
    QString outcomeText() const;
    // The main window: the status sweep is not running (any more).
    void sweepEnded();
    // Room for the largest page; the least size is far smaller (pages scroll).
    QSize sizeHint() const override;
    // F1: what the focused control does, and the keys.
    void showHelp();

    // True while the controls that send are on.
    bool sendingAllowed() const { return !offlineApplied_; }

    // The sheet that `widget` lives in, or none.
    static CGeneralControlSheet* of(QWidget* widget);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void onCurrentChanged(int index);
    void setControlsOnline(bool online);
    void switchOff(QWidget* widget);

    QTabWidget* tabs_ = nullptr;
    QStatusBar* statusBar_ = nullptr;
    QLabel* lineLabel_ = nullptr;
    QLabel* outcomeLabel_ = nullptr;
    QDialog* help_ = nullptr;
    QString afterSweep_;
    bool outcomeFromLine_ = false; // the outcome is a line change's "not finished" notice
    LineState line_ = LineState::Connected;
    // The widgets this sheet switched off, to switch on again exactly these
    // (a page's own disabled controls stay as the page left them).
    std::vector<QPointer<QWidget>> offline_;
    bool offlineApplied_ = false;
    std::function<void()> onClose_;
    ControlPage* active_ = nullptr;
    bool started_ = false;
    bool tearingDown_ = false;
};

// Shows `text` in the status line of the sheet `inSheet` lives in, if any.
void reportOutcome(QWidget* inSheet, const QString& text);

// A widget property: a control that sends nothing to the unit (About, Comm
// Config) and so stays usable while the line is lost.
inline constexpr const char* kWorksOffline = "worksOffline";

} // namespace bm
