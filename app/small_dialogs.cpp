// About box and start-up progress window.
#include "app/small_dialogs.h"

#include "model/startup_wait.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace bm {

QIcon appIcon()
{
    return QIcon(QStringLiteral(":/brennmark/brennmark.png"));
}

void keepCaptionWhole(QWidget& window)
{
    constexpr int kTitleBarFurniture = 140; // icon, minimise, maximise, close
    QFont title = window.font();
    title.setBold(true);
    const int wanted = QFontMetrics(title).horizontalAdvance(window.windowTitle()) + kTitleBarFurniture;
    window.setMinimumWidth(std::max(window.minimumWidth(), wanted));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About"));

    auto* icon = new QLabel(this);
    icon->setPixmap(appIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);

    auto* version = new QLabel(QStringLiteral("Brennmark Version 1.02  (June 15, 2002)"), this);
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    auto* purpose = new QLabel(QStringLiteral("Brennmark controls your ZA-2/DE-1 through its serial port."), this);

    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(purpose);
    text->addStretch();

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(text);

    auto* buttons = new QDialogButtonBox(this);
    auto* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    keepCaptionWhole(*this);
}

CDownloadDlg::CDownloadDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Brennmark - Downloading Internal Variables"));
    setModal(false);
    line_ = new QLabel(QStringLiteral("Downloading Internal Parameters...."), this);
    line_->setMinimumWidth(340);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 0); // no known end yet: a busy indicator
    // Cancel ends the wait: the sheet opens on what the program knows, and a
    // download cut short is done again at the next start.
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelDownload"));
    connect(buttons, &QDialogButtonBox::rejected, this, &CDownloadDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(line_);
    layout->addWidget(bar_);
    layout->addWidget(buttons);
    keepCaptionWhole(*this); // the caption is longer than the line
}

void CDownloadDlg::reject()
{
    cancelled_ = true;
    setText(QStringLiteral("Cancelling..."));
}

void CDownloadDlg::setProgress(const SweepProgress& progress)
{
    if (progress.total <= 0) {
        bar_->setRange(0, 0);
        return;
    }
    if (bar_->maximum() != progress.total)
        bar_->setRange(0, progress.total);
    bar_->setValue(progress.done);
}

void CDownloadDlg::setText(const QString& text)
{
    line_->setText(text);
}

QString CDownloadDlg::text() const
{
    return line_->text();
}

} // namespace bm
