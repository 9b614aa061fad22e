// The control sheet: tabs, page activation and the close request.
#include "ui/control_sheet.h"

#include "ui/control_page.h"

#include <QCloseEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace bm {

CGeneralControlSheet::CGeneralControlSheet(const QString& caption, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent), onClose_(std::move(onClose))
{
    setWindowTitle(caption);
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(false);
    tabs_->setUsesScrollButtons(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(tabs_);
    connect(tabs_, &QTabWidget::currentChanged, this, &CGeneralControlSheet::onCurrentChanged);
}

void CGeneralControlSheet::addPage(ControlPage* page)
{
    tabs_->addTab(page, page->caption());
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
    return qobject_cast<ControlPage*>(tabs_->widget(index));
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

void CGeneralControlSheet::closeEvent(QCloseEvent* event)
{
    if (onClose_)
        onClose_();
    event->accept();
}

} // namespace bm
