// About box and start-up progress window.
#include "app/small_dialogs.h"

#include "app/build_info.h"
#include "model/startup_wait.h"
#include "ui/access.h"

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

CAboutDlg::CAboutDlg(const AboutFacts& facts, QWidget* parent) : QDialog(parent)
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

    const BuildInfo& build = buildInfo();
    auto orUnknown = [](const QString& s) { return s.isEmpty() ? QStringLiteral("not known") : s.toHtmlEscaped(); };
    const QString unit = facts.unit.isEmpty() ? QStringLiteral("none connected")
                                              : QStringLiteral("%1, ROM %2, on %3")
                                                    .arg(facts.unit.toHtmlEscaped(), orUnknown(facts.rom.simplified()),
                                                         orUnknown(facts.port));
    const QString address = QString::fromUtf8(build.address);
    const QString addressHtml = address.startsWith(QStringLiteral("http"))
                                    ? QStringLiteral("<a href=\"%1\">%1</a>").arg(address.toHtmlEscaped())
                                    : address.toHtmlEscaped();
    details_ = new QLabel(this);
    details_->setObjectName(QStringLiteral("details"));
    details_->setTextFormat(Qt::RichText);
    details_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    details_->setOpenExternalLinks(true);
    details_->setText(QStringLiteral("<table>"
                                     "<tr><td>Build:&nbsp;</td><td>%1, commit %2, built %3</td></tr>"
                                     "<tr><td>Qt:</td><td>%4</td></tr>"
                                     "<tr><td>Unit:</td><td>%5</td></tr>"
                                     "<tr><td>Settings:</td><td>%6</td></tr>"
                                     "<tr><td>Licence:</td><td>%7</td></tr>"
                                     "<tr><td>Project:</td><td>%8</td></tr></table>")
                          .arg(QString::fromUtf8(build.version), QString::fromUtf8(build.commit),
                               QString::fromUtf8(build.date), QString::fromLatin1(qVersion()), unit,
                               orUnknown(facts.settingsFile), QString::fromUtf8(build.licence).toHtmlEscaped(),
                               addressHtml));
    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(purpose);
    text->addSpacing(8);
    text->addWidget(details_);
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
    assignMnemonics(this);
}

QString CAboutDlg::details() const
{
    return details_->text();
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
