// Files as the configuration code uses them, behind one narrow interface that
// each platform implements (file_access_posix.cpp, file_access_win32.cpp):
// reading a whole regular file without ever waiting on a FIFO or a device, and
// replacing a file atomically through a temporary file beside it. Bytes only,
// no text mode; paths are UTF-8. Failures come back as a reason in words, fit
// to follow the file's name in a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bm::files {

// The reason given for anything that exists but is not a regular file.
inline constexpr const char* kNotRegularFile = "not a regular file";

// Reads the whole regular file at `path` into `out`. The file is opened
// without waiting (a FIFO with no writer, a device that is not ready) and read
// only when it is a regular file. False, with the reason in `reason` and `out`
// empty, when it cannot be opened or read, is not a regular file, or holds
// more than `limit` bytes.
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                     std::string& reason);

// Reads a file that holds a secret (a token, credentials, the service's
// endpoint): `what` names it in the errors ("the token file"). Refused unless
// it is a regular file of at most `limit` bytes that, on POSIX, no one but its
// owner may read or write ("chmod 600 it"); a symbolic link is not followed.
// On Windows the file's access is the folder's, and only the type and size
// are checked. The one reader of private files.
bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error);

// The file a save to `path` replaces: `path` itself, or for a symbolic link the
// file it names (saving through a link changes the linked file). False, with
// the reason, when that exists and is not a regular file (a FIFO, a device, a
// folder): a save writes only over a regular file or to a new path.
bool resolveSaveTarget(const std::string& path, std::string& target, std::string& reason);

// A new file beside a save's target that takes the target's place only when
// replace() succeeds. Until then it is listed for removeTemporaryFilesOnSignal,
// and dropping the object removes it.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates a new, empty, hidden file in the folder of `target` (a path from
    // resolveSaveTarget), with the target's permissions when it exists. False,
    // with the reason, when the folder is missing or not writable or the
    // target is not a regular file; nothing is left behind then.
    bool create(const std::string& target, std::string& reason);
    // Writes all `length` bytes, retrying short writes. False on any failure
    // (disk full, file too large).
    bool write(const std::uint8_t* data, std::size_t length, std::string& reason);
    // Puts the written bytes on the disk.
    bool flush(std::string& reason);
    // Closes the file and renames it over `target` in one step, so a reader
    // sees the old file or the new one, never a part. The target is checked
    // again first: anything but a regular file or a missing path is refused.
    // False, with the reason, leaves the target as it was and the temporary
    // file in place for remove().
    bool replace(const std::string& target, std::string& reason);
    // Closes and deletes the file unless replace() succeeded.
    void remove();

    bool isOpen() const { return handle_ != kNoHandle; }
    // Empty before create() and after replace() or remove().
    const std::string& path() const { return path_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle; // the platform's handle (a descriptor, a HANDLE)
    int slot_ = -1;                    // the entry in the signal-time list
    std::string path_;
};

// Deletes every temporary file that was created and neither replaced a target
// nor was removed. Safe to call from a signal handler (on POSIX only unlink()
// runs), so a process ending on SIGTERM or SIGINT leaves none behind.
void removeTemporaryFilesOnSignal() noexcept;

} // namespace bm::files
