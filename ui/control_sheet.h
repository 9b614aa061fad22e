// CGeneralControlSheet: the program's visible window, a modeless tabbed sheet
// of control pages. Switching tabs deactivates the page left and activates the
// page chosen; closing the sheet asks the main window to close.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void onCurrentChanged(int index);

    QTabWidget* tabs_ = nullptr;
    std::function<void()> onClose_;
    ControlPage* active_ = nullptr;
    bool started_ = false;
    bool tearingDown_ = false;
};

} // namespace bm
