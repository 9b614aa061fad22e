// The platform's save and open file dialogs, owned by the main window. A request
// carries everything the dialog shows; the answer is a chosen path, or none
// with the dialog's extended error code (0: the user cancelled).
// Back-ends: QtFileDialog (QFileDialog), ScriptedFileDialog (tests).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

struct FileFilter {
    std::string description; // "Ridaziv Configuration Files (*.lex)"
    std::string pattern;     // "*.lex"
};

enum class FileDialogMode { Save, Open };

struct FileDialogRequest {
    FileDialogMode mode = FileDialogMode::Open;
    std::string title;
    std::vector<FileFilter> filters; // the first one is selected
    std::string defaultExtension;    // without the dot; added to a name typed without one
    std::string initialFolder;       // empty: the platform's choice
    bool confirmOverwrite = false;   // save: ask before replacing an existing file
    bool fileMustExist = false;      // open: only existing files can be chosen
    bool pathMustExist = true;
    bool hideReadOnly = true;
};

struct FileDialogResult {
    std::optional<std::string> path; // the chosen file
    unsigned errorCode = 0;          // without a path: the extended error, 0 when cancelled
};

class FileDialog {
public:
    virtual ~FileDialog() = default;
    virtual FileDialogResult run(const FileDialogRequest& request) = 0;
};

// The common-dialog error codes a back-end may report, with the text shown.
struct FileDialogError {
    unsigned code;
    const char* name;
};

inline constexpr FileDialogError kFileDialogErrors[] = {
    {0x0001, "CDERR_STRUCTSIZE"},      {0x0002, "CDERR_INITIALIZATION"},
    {0x0003, "CDERR_NOTEMPLATE"},      {0x0004, "CDERR_NOHINSTANCE"},
    {0x0005, "CDERR_LOADSTRFAILURE"},  {0x0006, "CDERR_FINDRESFAILURE"},
    {0x0007, "CDERR_LOADRESFAILURE"},  {0x0008, "CDERR_LOCKRESFAILURE"},
    {0x0009, "CDERR_MEMALLOCFAILURE"}, {0x000A, "CDERR_MEMLOCKFAILURE"},
    {0x000B, "CDERR_NOHOOK"},          {0x000C, "CDERR_REGISTERMSGFAIL"},
    {0x3001, "FNERR_SUBCLASSFAILURE"}, {0x3002, "FNERR_INVALIDFILENAME"},
    {0x3003, "FNERR_BUFFERTOOSMALL"},  {0xFFFF, "CDERR_DIALOGFAILURE"},
};

// The text for an error code; nullptr for 0 and for codes not in the table,
// which report nothing.
constexpr const char* FileDialogErrorName(unsigned code)
{
    for (const FileDialogError& error : kFileDialogErrors)
        if (error.code == code)
            return error.name;
    return nullptr;
}

// `path` with ".extension" appended when its file name has no extension, as
// the dialogs do with a name the user typed.
inline std::string withDefaultExtension(std::string path, std::string_view extension)
{
    if (extension.empty())
        return path;
    const std::size_t separator = path.find_last_of('/');
    const std::size_t nameAt = separator == std::string::npos ? 0 : separator + 1;
    if (nameAt == path.size() || path.find('.', nameAt) != std::string::npos)
        return path;
    path += '.';
    path += extension;
    return path;
}

} // namespace bm
