// POSIX file access: non-blocking opens checked with fstat for reading, and
// open(O_EXCL) + fsync + rename for the atomic replace.
#include "platform/file_access.h"

#include "platform/temporary_list.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm::files {
namespace {

std::atomic<unsigned> temporaryCounter{0};

std::string errnoText(int error)
{
    return std::strerror(error != 0 ? error : EIO);
}

std::size_t fileNameStart(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// True when `path` names a regular file or nothing at all; the symbolic link
// itself is what is looked at, so a target already resolved is never followed.
bool regularOrAbsent(const std::string& path, std::string& reason)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        reason = errnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = kNotRegularFile;
        return false;
    }
    return true;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // best effort: the rename has happened either way
    ::close(fd);
}

void unlinkFromSignal(const char* path)
{
    ::unlink(path);
}

} // namespace

bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out,
                     std::string& reason)
{
    out.clear();
    // O_NONBLOCK: opening a FIFO with no writer, or a device that waits for a
    // carrier, returns at once instead of holding the caller for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = errnoText(errno);
        return false;
    }
    auto fail = [&](std::string why) {
        ::close(fd);
        out.clear();
        reason = std::move(why);
        return false;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(errnoText(errno));
    if (!S_ISREG(st.st_mode))
        return fail(kNotRegularFile);
    // A regular file never blocks; clearing the flag keeps reads plain.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(errnoText(errno));
    // One byte past the limit tells a file that is too large from one that
    // just fits, whatever the size fstat gave (the file may be growing).
    out.resize(limit + 1);
    std::size_t have = 0;
    while (have < out.size()) {
        const ssize_t n = ::read(fd, out.data() + have, out.size() - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errnoText(errno));
        }
        if (n == 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    if (have > limit)
        return fail("larger than " + std::to_string(limit) + " bytes");
    ::close(fd);
    out.resize(have);
    return true;
}

bool resolveSaveTarget(const std::string& path, std::string& target, std::string& reason)
{
    target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char buffer[PATH_MAX];
        if (!::realpath(path.c_str(), buffer)) {
            // A link that names nothing (or nothing reachable) is not replaced.
            reason = "a symbolic link that cannot be followed (" + errnoText(errno) + ")";
            return false;
        }
        target = buffer;
    }
    if (target.empty() || target.back() == '/') {
        reason = std::strerror(EISDIR);
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
        reason = std::strerror(EISDIR);
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                                      std::to_string(temporaryCounter++) + ".tmp";
        // Listed before it exists, so no signal can come between its creation
        // and its listing; a name that turns out to be taken is unlisted again.
        const int slot = detail::listTemporary(candidate);
        if (slot < 0) {
            reason = "too many files being saved at once";
            return false;
        }
        // Created like any new file (0666 less the umask); a file it replaces
        // passes its permissions on below.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            handle_ = fd;
            slot_ = slot;
            path_ = candidate;
            struct stat st {};
            if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ::fchmod(fd, st.st_mode & 07777);
            return true;
        }
        const int error = errno;
        detail::unlistTemporary(slot);
        if (error != EEXIST) {
            reason = errnoText(error);
            return false;
        }
    }
    reason = std::strerror(EEXIST);
    return false;
}

bool TemporaryFile::write(const std::uint8_t* data, std::size_t length, std::string& reason)
{
    if (!isOpen()) {
        reason = std::strerror(EBADF);
        return false;
    }
    const int fd = static_cast<int>(handle_);
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reason = errnoText(errno);
            return false;
        }
        if (n == 0) {
            reason = std::strerror(ENOSPC);
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool TemporaryFile::flush(std::string& reason)
{
    if (!isOpen()) {
        reason = std::strerror(EBADF);
        return false;
    }
    if (::fsync(static_cast<int>(handle_)) != 0) {
        reason = errnoText(errno);
        return false;
    }
    return true;
}

bool TemporaryFile::replace(const std::string& target, std::string& reason)
{
    if (path_.empty()) {
        reason = std::strerror(EBADF);
        return false;
    }
    if (isOpen()) {
        const int fd = static_cast<int>(handle_);
        handle_ = kNoHandle;
        if (::close(fd) != 0) {
            reason = errnoText(errno);
            return false;
        }
    }
    // Checked again: the path may have become a FIFO or a device meanwhile.
    if (!regularOrAbsent(target, reason))
        return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) {
        reason = errnoText(errno);
        return false;
    }
    detail::unlistTemporary(slot_);
    slot_ = -1;
    path_.clear();
    syncFolder(target.substr(0, fileNameStart(target)));
    return true;
}

void TemporaryFile::remove()
{
    if (isOpen()) {
        ::close(static_cast<int>(handle_));
        handle_ = kNoHandle;
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
    detail::unlistTemporary(slot_);
    slot_ = -1;
}

void removeTemporaryFilesOnSignal() noexcept
{
    detail::forEachListedTemporary(unlinkFromSignal);
}

bool readPrivateFile(const std::string& path, const std::string& what, std::size_t limit, std::string& text,
                     std::string& error)
{
    // Checked on the open descriptor, so what is checked is what is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + what + " " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    text.clear();
    if (!ok) {
        error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = what + " " + path + " is not a regular file";
        ok = false;
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = what + " " + path + " may be read by others: chmod 600 it";
        ok = false;
    } else {
        char buffer[4096];
        ssize_t n = 0;
        while (ok && text.size() <= limit && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
                ok = false;
            } else {
                text.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (ok && text.size() > limit) {
            error = what + " " + path + " is larger than " + std::to_string(limit) + " bytes";
            ok = false;
        }
    }
    ::close(fd);
    if (!ok)
        text.clear();
    return ok;
}

} // namespace bm::files
