// Scripted answers for the file dialog in tests.
#include "tests/support/scripted_file_dialog.h"

namespace bm {

FileDialogResult ScriptedFileDialog::run(const FileDialogRequest& request)
{
    requests_.push_back(request);
    if (answers_.empty())
        return {};
    FileDialogResult answer = std::move(answers_.front());
    answers_.pop_front();
    if (answer.path)
        answer.path = withDefaultExtension(std::move(*answer.path), request.defaultExtension);
    return answer;
}

void ScriptedFileDialog::scriptPath(std::string path)
{
    answers_.push_back({std::move(path), 0});
}

void ScriptedFileDialog::scriptCancel()
{
    answers_.push_back({std::nullopt, 0});
}

void ScriptedFileDialog::scriptError(unsigned code)
{
    answers_.push_back({std::nullopt, code});
}

} // namespace bm
