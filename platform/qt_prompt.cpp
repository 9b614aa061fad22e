// Modal message boxes for every thread. A request from another thread waits in
// a short queue until the UI thread shows it; the asker sleeps on a condition
// variable, never on the UI thread's event loop.
#include "platform/qt_prompt.h"

#include "platform/prompt_look.h"
#include "platform/qt_modal.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

namespace bm {

QtPrompt::QtPrompt(QObject* parent) : QObject(parent) {}

QtPrompt::~QtPrompt()
{
    abandon();
}

bool QtPrompt::onOwnThread() const
{
    return QThread::currentThread() == thread();
}

PromptAnswer QtPrompt::showBox(const std::string& text, PromptButtons buttons)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Brennmark"), QString::fromLatin1(text.c_str()),
                    buttons == PromptButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                       : QMessageBox::Ok,
                    QApplication::activeWindow());
    static constexpr QMessageBox::Icon kIcons[] = {QMessageBox::Critical, QMessageBox::Warning,
                                                   QMessageBox::Information, QMessageBox::Question};
    const PromptLook look = promptLook(text, buttons);
    box.setIcon(kIcons[static_cast<int>(look.icon)]);
    box.setDefaultButton(look.defaultCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    box.setEscapeButton(buttons == PromptButtons::OkCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    const ModalScope modal;
    return box.exec() == QMessageBox::Ok ? PromptAnswer::Ok : PromptAnswer::Cancel;
}

PromptAnswer QtPrompt::ask(const std::string& text, PromptButtons buttons)
{
    if (onOwnThread()) {
        {
            std::lock_guard lock(mutex_);
            if (abandoned_)
                return PromptAnswer::Cancel;
        }
        return showBox(text, buttons);
    }

    std::shared_ptr<Request> request;
    {
        std::lock_guard lock(mutex_);
        if (abandoned_)
            return PromptAnswer::Cancel;
        // The same message already waiting or on screen is not stacked on
        // itself: this asker shares its answer.
        for (const auto& r : queue_) {
            if (r->text == text && r->buttons == buttons && !r->answered) {
                request = r;
                break;
            }
        }
        if (!request) {
            request = std::make_shared<Request>();
            request->text = text;
            request->buttons = buttons;
            queue_.push_back(request);
        }
    }
    // The event loop shows it when idle; a blocking wait shows it from its hook.
    QMetaObject::invokeMethod(this, &QtPrompt::showPending, Qt::QueuedConnection);

    std::unique_lock lock(mutex_);
    answered_.wait(lock, [&] { return request->answered; });
    return request->answer;
}

void QtPrompt::abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    for (auto& r : queue_) {
        r->answered = true;
        r->answer = PromptAnswer::Cancel;
    }
    queue_.clear();
    answered_.notify_all();
}

std::size_t QtPrompt::pendingCount() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void QtPrompt::showPending()
{
    // A box's own event loop may come back here (the queued call, or the
    // wait hook of a sleep); the outer call goes on with the queue.
    if (showing_)
        return;
    showing_ = true;
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                break;
            request = queue_.front();
        }
        const PromptAnswer answer = showBox(request->text, request->buttons);
        std::lock_guard lock(mutex_);
        if (!queue_.empty() && queue_.front() == request)
            queue_.pop_front();
        if (!request->answered) { // abandon() may have answered it meanwhile
            request->answered = true;
            request->answer = answer;
        }
        answered_.notify_all();
    }
    showing_ = false;
}

} // namespace bm
