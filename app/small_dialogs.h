// The About box and the progress window shown while start-up reads the unit.
#pragma once

#include <QDialog>
#include <QIcon>

class QLabel;

namespace bm {

// The program's icon (from the resources).
QIcon appIcon();

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// Modeless: start-up shows it and overwrites its one line on every pass of
// its wait, which repaints it from the wait hook.
class CDownloadDlg : public QDialog {
    Q_OBJECT
public:
    explicit CDownloadDlg(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;

private:
    QLabel* line_ = nullptr;
};

} // namespace bm
