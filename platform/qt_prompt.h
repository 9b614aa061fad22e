// Prompt on Qt: a modal QMessageBox captioned "Brennmark". Asked on the UI
// thread it is shown at once; asked from another thread (the receiver's NAK,
// time-out and ROM messages) it is handed to the UI thread, which shows it from
// its event loop or from the wait hook of a blocking wait, while the asking
// thread waits for the answer.
#pragma once

#include "platform/prompt.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class QWidget;

namespace bm {

class QtPrompt : public QObject, public Prompt {
    Q_OBJECT
public:
    // Lives on (and must be created on) the user-interface thread.
    explicit QtPrompt(QObject* parent = nullptr);
    ~QtPrompt() override;

    PromptAnswer ask(const std::string& text, PromptButtons buttons = PromptButtons::Ok) override;
    void abandon() override;

    // UI thread: shows every prompt that other threads are waiting on, one
    // after the other. Called from the event loop and from the UI thread's pump.
    void showPending() override;
    // Requests from other threads that no box has been shown for yet.
    std::size_t pendingCount() const;

private:
    struct Request {
        std::string text;
        PromptButtons buttons = PromptButtons::Ok;
        bool answered = false;
        PromptAnswer answer = PromptAnswer::Cancel;
    };

    bool onOwnThread() const;
    static PromptAnswer showBox(const std::string& text, PromptButtons buttons);

    mutable std::mutex mutex_; // guards queue_, abandoned_ and every Request's answer
    std::condition_variable answered_;
    std::deque<std::shared_ptr<Request>> queue_;
    bool abandoned_ = false;
    bool showing_ = false; // UI thread only
};

} // namespace bm
