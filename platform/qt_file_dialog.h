// The file dialog on Qt: a modal QFileDialog owned by the main window. Qt gives
// no error codes, so a dialog without a file always answers code 0 (cancelled).
#pragma once

#include "platform/file_dialog.h"

#include <QStringList>

class QFileDialog;
class QWidget;

namespace bm {

class QtFileDialog : public FileDialog {
public:
    explicit QtFileDialog(QWidget* owner = nullptr) : owner_(owner) {}

    FileDialogResult run(const FileDialogRequest& request) override;

    // Sets up `dialog` for `request` (title, mode, filters, suffix, folder,
    // options); run() then shows it.
    static void configure(QFileDialog& dialog, const FileDialogRequest& request);
    // The request's filters as Qt writes them: "Description (pattern)".
    static QStringList nameFilters(const FileDialogRequest& request);

private:
    QWidget* owner_;
};

} // namespace bm
