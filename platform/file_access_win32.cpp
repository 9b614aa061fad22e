// Win32 file access: UTF-8 paths to the wide-character calls, binary handles
// only (no text mode, so byte 0x1A is a byte and "\n" stays one byte), a file
// opened without waiting and checked with GetFileType, and
// MoveFileEx(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) for the
// atomic replace (the C library's rename does not replace an existing file).
#include "platform/file_access.h"
#include "platform/win32_text.h"

#include "platform/temporary_list.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace bm::files {
namespace {

std::atomic<unsigned> temporaryCounter{0};

std::string errorText(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
        return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return "in use by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return "No space left on device";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return "File exists";
    case ERROR_INVALID_NAME:
        return "Invalid file name";
    default:
        return "Windows error " + std::to_string(error);
    }
}

std::size_t fileNameStart(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos)
        return slash + 1;
    // "C:name" is name in drive C's current folder.
    return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// True when `path` names a regular file or nothing at all.
bool regularOrAbsent(const std::string& path, std::string& reason)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::widenUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true;
        // Devices (COM1, NUL) and pipes have no attributes to give.
        reason = error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_NAME ? kNotRegularFile
                                                                                   : errorText(error);
        return false;
    }
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) {
        reason = kNotRegularFile;
        return false;
    }
    return true;
}

// A name like "COM1" or "NUL" opens a device wherever the path points.
bool namesDevice(const std::string& path)
{
    const std::string name = path.substr(fileNameStart(path));
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4",
                                           "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3"};
    for (const char* device : kDevices)
        if (stem == device)
            return true;
    return path.rfind("\\\\.\\", 0) == 0;
}

void deleteFromSignal(const char* path)
{
    ::DeleteFileW(win32::widenUtf8(path).c_str());
}

} // namespace

bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                     std::string& reason)
{
    out.clear();
    if (namesDevice(path)) {
        reason = kNotRegularFile;
        return false;
    }
    // Shared for reading and writing, so a file another program has open
    // still reads. Devices are refused by name above; a pipe or a console is
    // told from a file by GetFileType before anything is read.
    const HANDLE h = ::CreateFileW(win32::widenUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        reason = error == ERROR_ACCESS_DENIED && !regularOrAbsent(path, reason) ? std::string(kNotRegularFile)
                                                                                : errorText(error);
        return false;
    }
    auto fail = [&](std::string why) {
        ::CloseHandle(h);
        out.clear();
        reason = std::move(why);
        return false;
    };
    if (::GetFileType(h) != FILE_TYPE_DISK)
        return fail(kNotRegularFile);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail(kNotRegularFile);
    // One byte past the limit tells a file that is too large from one that
    // just fits, whatever size the file has now.
    out.resize(limit + 1);
    std::size_t have = 0;
    while (have < out.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - have, 1u << 20));
        if (!::ReadFile(h, out.data() + have, want, &n, nullptr))
            return fail(errorText(::GetLastError()));
        if (n == 0)
            break;
        have += n;
    }
    if (have > limit)
        return fail("larger than " + std::to_string(limit) + " bytes");
    ::CloseHandle(h);
    out.resize(have);
    return true;
}

bool resolveSaveTarget(const std::string& path, std::string& target, std::string& reason)
{
    // Windows links (reparse points) are refused rather than followed.
    target = path;
    if (target.empty() || target.back() == '/' || target.back() == '\\') {
        reason = "Is a directory";
        return false;
    }
    if (namesDevice(target)) {
        reason = kNotRegularFile;
        return false;
    }
    return regularOrAbsent(target, reason);
}

TemporaryFile::~TemporaryFile()
{
    remove();
}

bool TemporaryFile::create(const std::string& target, std::string& reason)
{
    if (isOpen() || !path_.empty()) {
        reason = "a temporary file is already open";
        return false;
    }
    if (!regularOrAbsent(target, reason))
        return false;
    const std::size_t nameAt = fileNameStart(target);
    const std::string folder = target.substr(0, nameAt);
    const std::string name = target.substr(nameAt);
    if (name.empty()) {
        reason = "Is a directory";
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = folder + "." + name + "." + std::to_string(::GetCurrentProcessId()) + "." +
                                      std::to_string(temporaryCounter++) + ".tmp";
        const int slot = detail::listTemporary(candidate);
        if (slot < 0) {
            reason = "too many files being saved at once";
            return false;
        }
        // CREATE_NEW: never an existing file; hidden, as a dot file is on POSIX.
        const HANDLE h = ::CreateFileW(win32::widenUtf8(candidate).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<std::intptr_t>(h);
            slot_ = slot;
            path_ = candidate;
            return true;
        }
        const DWORD error = ::GetLastError();
        detail::unlistTemporary(slot);
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            reason = errorText(error);
            return false;
        }
    }
    reason = errorText(ERROR_FILE_EXISTS);
    return false;
}

bool TemporaryFile::write(const std::uint8_t* data, std::size_t length, std::string& reason)
{
    if (!isOpen()) {
        reason = "Bad file descriptor";
        return false;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    while (length > 0) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 20));
        if (!::WriteFile(h, data, want, &n, nullptr)) {
            reason = errorText(::GetLastError());
            return false;
        }
        if (n == 0) {
            reason = errorText(ERROR_DISK_FULL);
            return false;
        }
        data += n;
        length -= n;
    }
    return true;
}

bool TemporaryFile::flush(std::string& reason)
{
    if (!isOpen()) {
        reason = "Bad file descriptor";
        return false;
    }
    if (!::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) {
        reason = errorText(::GetLastError());
        return false;
    }
    return true;
}

bool TemporaryFile::replace(const std::string& target, std::string& reason)
{
    if (path_.empty()) {
        reason = "Bad file descriptor";
        return false;
    }
    if (isOpen()) {
        const HANDLE h = reinterpret_cast<HANDLE>(handle_);
        handle_ = kNoHandle;
        if (!::CloseHandle(h)) {
            reason = errorText(::GetLastError());
            return false;
        }
    }
    if (!regularOrAbsent(target, reason))
        return false;
    const std::wstring from = win32::widenUtf8(path_);
    if (!::MoveFileExW(from.c_str(), win32::widenUtf8(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        reason = errorText(::GetLastError());
        return false;
    }
    // The file now is the target: no longer hidden.
    const std::wstring placed = win32::widenUtf8(target);
    const DWORD attributes = ::GetFileAttributesW(placed.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN))
        ::SetFileAttributesW(placed.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    detail::unlistTemporary(slot_);
    slot_ = -1;
    path_.clear();
    return true;
}

void TemporaryFile::remove()
{
    if (isOpen()) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = kNoHandle;
    }
    if (!path_.empty()) {
        ::DeleteFileW(win32::widenUtf8(path_).c_str());
        path_.clear();
    }
    detail::unlistTemporary(slot_);
    slot_ = -1;
}

void removeTemporaryFilesOnSignal() noexcept
{
    // On Windows this runs from the console control handler, an ordinary thread.
    detail::forEachListedTemporary(deleteFromSignal);
}

bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error)
{
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::u8path(path);
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ec))) {
        error = what + " " + path + " is not a regular file";
        return false;
    }
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > limit) {
        error = ec ? "cannot read " + what + " " + path : what + " " + path + " is larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = "cannot read " + what + " " + path;
        return false;
    }
    return true;
}

} // namespace bm::files
