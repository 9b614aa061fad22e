// File dialog for tests: records every request and answers from a script, as
// the platform's dialog would (a chosen name gets the default extension when it
// has none). An empty script answers as a cancelled dialog.
#pragma once

#include "platform/file_dialog.h"

#include <deque>
#include <vector>

namespace bm {

class ScriptedFileDialog : public FileDialog {
public:
    FileDialogResult run(const FileDialogRequest& request) override;

    // The next answers, in the order scripted.
    void scriptPath(std::string path);
    void scriptCancel();
    void scriptError(unsigned code);

    const std::vector<FileDialogRequest>& requests() const { return requests_; }
    std::size_t pendingAnswers() const { return answers_.size(); }

private:
    // Dialogs run on the user-interface thread only, so nothing here is shared.
    std::deque<FileDialogResult> answers_;
    std::vector<FileDialogRequest> requests_;
};

} // namespace bm
