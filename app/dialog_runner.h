// How the application runs its modal dialogs. The program runs them with
// exec(); a test supplies its own runner that fills in and closes the real
// dialog instead of waiting for a person.
#pragma once

#include "platform/qt_modal.h"

#include <QDialog>

namespace bm {

class DialogRunner {
public:
    virtual ~DialogRunner() = default;
    // Runs `dialog` modally; returns QDialog::Accepted or QDialog::Rejected.
    virtual int run(QDialog& dialog) = 0;
};

class ExecDialogRunner : public DialogRunner {
public:
    int run(QDialog& dialog) override
    {
        const ModalScope modal;
        return dialog.exec();
    }
};

} // namespace bm
