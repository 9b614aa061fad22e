// The control sheet: tabs, page activation, the status line and the close request.
#include "ui/control_sheet.h"

#include "ui/control_page.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeySequence>
#include <QLabel>
#include <QScrollArea>
#include <QShortcut>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWhatsThis>

#include <algorithm>

namespace bm {
namespace {

struct LineLook {
    LineState state;
    const char* text; // %1 the unit, %2 the device
    const char* style;
};

constexpr LineLook kLineLooks[] = {
    {LineState::Connected, "Connected to %1 on %2", "color: #1b6e2a;"},
    {LineState::Asleep, "%1 on %2 is asleep", "color: #555555;"},
    {LineState::NotAnswering, "%1 on %2 is not answering", "color: #9a5b00; font-weight: bold;"},
    {LineState::Lost, "Line to %1 on %2 lost: controls are off until it is back",
     "color: #b00020; font-weight: bold;"},
    {LineState::Reconnecting, "Reconnecting to %1 on %2...", "color: #9a5b00; font-weight: bold;"},
};

const LineLook& lookOf(LineState state)
{
    for (const LineLook& look : kLineLooks)
        if (look.state == state)
            return look;
    return kLineLooks[0];
}

bool sendsWhileOffline(LineState state)
{
    return state != LineState::Lost && state != LineState::Reconnecting;
}

bool holdsOfflineControl(const QWidget* widget)
{
    if (widget->property(kWorksOffline).toBool())
        return true;
    const auto children = widget->findChildren<QWidget*>();
    return std::any_of(children.begin(), children.end(),
                       [](const QWidget* w) { return w->property(kWorksOffline).toBool(); });
}

// The least the sheet shrinks to: the pages scroll below it. Small enough
// for a 1366x768 screen at a scale factor of 1.5 (910x512 logical pixels,
// less a title bar and a panel).
constexpr QSize kLeastSize{600, 400};

const char* const kKeysHelp =
    "<p><b>Keys</b></p><table>"
    "<tr><td>Ctrl+Tab, Ctrl+Shift+Tab&nbsp;&nbsp;</td><td>next and previous page</td></tr>"
    "<tr><td>Tab, Shift+Tab</td><td>next and previous control</td></tr>"
    "<tr><td>Alt+underlined letter</td><td>that button, box or group</td></tr>"
    "<tr><td>Arrow keys</td><td>a slider one step; the choices of a speaker group</td></tr>"
    "<tr><td>Page Up, Page Down</td><td>a slider a fifth of its range</td></tr>"
    "<tr><td>Space</td><td>press the button, tick the box</td></tr>"
    "<tr><td>Ctrl+S, Ctrl+O</td><td>Save Config and Restore Config (Info page)</td></tr>"
    "<tr><td>F1</td><td>this help</td></tr>"
    "<tr><td>Shift+F1</td><td>What's This? for the control clicked next</td></tr>"
    "<tr><td>Escape</td><td>close a dialog</td></tr>"
    "<tr><td>Ctrl+Q</td><td>quit</td></tr></table>";

} // namespace

CGeneralControlSheet::CGeneralControlSheet(const QString& caption, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent), onClose_(std::move(onClose))
{
    setWindowTitle(caption);
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(false);
    tabs_->setUsesScrollButtons(false);
    statusBar_ = new QStatusBar(this);
    statusBar_->setObjectName(QStringLiteral("statusLine"));
    statusBar_->setSizeGripEnabled(false);
    lineLabel_ = new QLabel(this);
    lineLabel_->setObjectName(QStringLiteral("lineState"));
    outcomeLabel_ = new QLabel(this);
    outcomeLabel_->setObjectName(QStringLiteral("outcome"));
    lineLabel_->setAccessibleName(QStringLiteral("Line state"));
    outcomeLabel_->setAccessibleName(QStringLiteral("Last outcome"));
    outcomeLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long outcome is cut at the window's edge (its tool tip holds it
    // whole) rather than widening the window.
    outcomeLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar_->addWidget(lineLabel_);
    statusBar_->addWidget(outcomeLabel_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 0);
    layout->addWidget(tabs_);
    layout->addWidget(statusBar_);
    connect(tabs_, &QTabWidget::currentChanged, this, &CGeneralControlSheet::onCurrentChanged);
    setMinimumSize(kLeastSize);

    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &CGeneralControlSheet::showHelp);
    auto* whatsThis = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1), this);
    connect(whatsThis, &QShortcut::activated, this, [] { QWhatsThis::enterWhatsThisMode(); });
}

void CGeneralControlSheet::addPage(ControlPage* page)
{
    // A page taller or wider than the window scrolls rather than growing it.
    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("pageScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidgetResizable(true);
    scroll->setWidget(page);
    tabs_->addTab(scroll, page->caption());
}

QSize CGeneralControlSheet::sizeHint() const
{
    // Room for the largest page whole, as the pages lay themselves out.
    QSize pages;
    for (int i = 0; i < pageCount(); ++i)
        pages = pages.expandedTo(page(i)->sizeHint());
    const QSize chrome = QWidget::sizeHint() - tabs_->sizeHint() + QSize(24, 48);
    return (pages + chrome).expandedTo(kLeastSize);
}

void CGeneralControlSheet::showHelp()
{
    if (!help_) {
        help_ = new QDialog(this);
        help_->setObjectName(QStringLiteral("help"));
        help_->setWindowTitle(QStringLiteral("Brennmark Help"));
        auto* text = new QLabel(help_);
        text->setObjectName(QStringLiteral("helpText"));
        text->setWordWrap(true);
        text->setTextFormat(Qt::RichText);
        text->setMinimumWidth(420);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, help_);
        connect(buttons, &QDialogButtonBox::rejected, help_, &QDialog::reject);
        auto* layout = new QVBoxLayout(help_);
        layout->addWidget(text);
        layout->addWidget(buttons);
    }
    // What the control with the focus does, then the keys.
    QString about;
    if (QWidget* focus = QApplication::focusWidget(); focus && isAncestorOf(focus) && !focus->toolTip().isEmpty())
        about = QStringLiteral("<p><b>%1</b><br>%2</p>")
                    .arg(focus->accessibleName().toHtmlEscaped(), focus->toolTip().toHtmlEscaped());
    help_->findChild<QLabel*>(QStringLiteral("helpText"))->setText(about + QString::fromLatin1(kKeysHelp));
    help_->show();
    help_->raise();
    help_->activateWindow();
}

void CGeneralControlSheet::start()
{
    if (started_ || tabs_->count() == 0)
        return;
    started_ = true;
    tabs_->setCurrentIndex(0);
    active_ = page(0);
    if (active_)
        active_->onActivate();
}

void CGeneralControlSheet::beginTeardown()
{
    tearingDown_ = true;
    active_ = nullptr;
}

ControlPage* CGeneralControlSheet::activePage() const
{
    return active_;
}

int CGeneralControlSheet::pageCount() const
{
    return tabs_->count();
}

ControlPage* CGeneralControlSheet::page(int index) const
{
    auto* scroll = qobject_cast<QScrollArea*>(tabs_->widget(index));
    return scroll ? qobject_cast<ControlPage*>(scroll->widget()) : nullptr;
}

void CGeneralControlSheet::setActiveIndex(int index)
{
    tabs_->setCurrentIndex(index);
}

void CGeneralControlSheet::onCurrentChanged(int index)
{
    if (!started_ || tearingDown_)
        return;
    ControlPage* next = page(index);
    if (next == active_)
        return;
    if (active_)
        active_->onDeactivate();
    active_ = next;
    if (active_)
        active_->onActivate();
}

void CGeneralControlSheet::setLineState(LineState state, const QString& unit, const QString& device)
{
    // An outcome belongs to the line state it happened in: a change of state
    // replaces it, so that "written" does not stand beside a lost line.
    const bool changed = state != line_;
    line_ = state;
    if (changed && afterSweep_.isEmpty() && !outcomeFromLine_)
        showOutcome({});
    // An outcome still waiting for the sweep ("...: reading the unit...") no
    // longer holds once the line is gone or silent: it is replaced by what
    // happened to it, and the sweep's end will not claim it done.
    if (!afterSweep_.isEmpty() &&
        (state == LineState::Lost || state == LineState::Reconnecting || state == LineState::NotAnswering)) {
        const QString what = outcomeText().section(QLatin1Char(':'), 0, 0);
        showOutcome(what + (state == LineState::NotAnswering ? QStringLiteral(": not finished, the unit is not answering")
                                                             : QStringLiteral(": not finished, the line was lost")));
        // What the change did to an action under way stands until the next outcome.
        outcomeFromLine_ = true;
    }
    const LineLook& look = lookOf(state);
    lineLabel_->setText(QString::fromLatin1(look.text).arg(unit, device));
    lineLabel_->setStyleSheet(QString::fromLatin1(look.style));
    setControlsOnline(sendsWhileOffline(state));
}

QString CGeneralControlSheet::lineText() const
{
    return lineLabel_->text();
}

void CGeneralControlSheet::showOutcome(const QString& text, const QString& whenSweepEnds)
{
    outcomeLabel_->setText(text.isEmpty() ? QString() : QStringLiteral("\u2014 ") + text);
    outcomeLabel_->setToolTip(text);
    afterSweep_ = whenSweepEnds;
    outcomeFromLine_ = false;
}

void CGeneralControlSheet::sweepEnded()
{
    if (!afterSweep_.isEmpty())
        showOutcome(afterSweep_);
}

QString CGeneralControlSheet::outcomeText() const
{
    return outcomeLabel_->toolTip();
}

CGeneralControlSheet* CGeneralControlSheet::of(QWidget* widget)
{
    for (QWidget* w = widget; w; w = w->parentWidget())
        if (auto* sheet = qobject_cast<CGeneralControlSheet*>(w))
            return sheet;
    return nullptr;
}

void CGeneralControlSheet::setControlsOnline(bool online)
{
    if (online) {
        for (const QPointer<QWidget>& w : offline_)
            if (w)
                w->setEnabled(true);
        offline_.clear();
        offlineApplied_ = false;
        return;
    }
    if (offlineApplied_)
        return;
    offlineApplied_ = true;
    for (int i = 0; i < tabs_->count(); ++i)
        switchOff(page(i));
}

void CGeneralControlSheet::switchOff(QWidget* widget)
{
    // A widget with nothing in it that works offline goes off as a whole, so
    // that the controls a page had switched off itself keep their own state.
    if (widget->property(kWorksOffline).toBool())
        return;
    if (!holdsOfflineControl(widget)) {
        if (widget->isEnabledTo(widget->parentWidget()) || !widget->parentWidget()) {
            widget->setEnabled(false);
            offline_.emplace_back(widget);
        }
        return;
    }
    for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        switchOff(child);
}

void CGeneralControlSheet::closeEvent(QCloseEvent* event)
{
    if (onClose_)
        onClose_();
    event->accept();
}

void reportOutcome(QWidget* inSheet, const QString& text)
{
    if (CGeneralControlSheet* sheet = CGeneralControlSheet::of(inSheet))
        sheet->showOutcome(text);
}

} // namespace bm
