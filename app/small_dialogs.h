// The About box and the progress window shown while start-up reads the unit.
#pragma once

#include <QDialog>
#include <QIcon>

class QLabel;
class QProgressBar;

namespace bm {

struct SweepProgress;

// The program's icon (from the resources).
QIcon appIcon();

// Keeps `window` at least wide enough for its title bar to show its caption
// whole (the caption's width in a bold title font, plus room for the
// window manager's icon and buttons).
void keepCaptionWhole(QWidget& window);

// What the About box tells of this run (empty: not known).
struct AboutFacts {
    QString unit;         // "DE-1"
    QString rom;          // the Info page's ROM code line
    QString port;         // the serial device or address in use
    QString settingsFile; // where the settings live
};

// The design's caption and first two lines, then the build, the Qt version,
// the unit, its ROM and port, the settings file, the licence and the
// project's address, as selectable text.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(const AboutFacts& facts = {}, QWidget* parent = nullptr);
    QString details() const;

private:
    QLabel* details_ = nullptr;
};

// Modeless: start-up shows it and overwrites its one line on every pass of
// its wait, which repaints it from the wait hook. The bar is a busy indicator
// until the sweep's length is known, then counts the answers in.
class CDownloadDlg : public QDialog {
    Q_OBJECT
public:
    explicit CDownloadDlg(QWidget* parent = nullptr);
    void setText(const QString& text);
    // Cancel ("cancelDownload") or the window's close box was used.
    bool cancelled() const { return cancelled_; }
    QString text() const;
    void setProgress(const SweepProgress& progress);
    const QProgressBar* bar() const { return bar_; }

protected:
    void reject() override; // Cancel, Escape and the close box: the wait ends

private:
    QLabel* line_ = nullptr;
    QProgressBar* bar_ = nullptr;
    bool cancelled_ = false;
};

} // namespace bm
