// POSIX implementation of the configuration file writer and reader.
#include "config/config_file_io.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm {
namespace {

std::atomic<unsigned> temporaryCounter{0};

bool isSeparator(char c)
{
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

std::size_t fileNameStart(const std::string& path)
{
    for (std::size_t i = path.size(); i > 0; --i)
        if (isSeparator(path[i - 1]))
            return i;
    return 0;
}

// The file a save really replaces: writing through a symbolic link changes
// the file it points to, so the temporary file must sit beside that one.
std::string resolvedTarget(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char buffer[PATH_MAX];
    if (!realpath(path.c_str(), buffer))
        return path;
    return buffer;
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // best effort: the rename has happened either way
    ::close(fd);
}

} // namespace

ConfigFileWriter::ConfigFileWriter(std::string targetPath) : target_(resolvedTarget(targetPath)) {}

ConfigFileWriter::~ConfigFileWriter()
{
    discard();
}

bool ConfigFileWriter::fail()
{
    if (error_ == 0)
        error_ = errno != 0 ? errno : EIO;
    return false;
}

bool ConfigFileWriter::open()
{
    if (fd_ >= 0 || !temporary_.empty())
        return false;
    const std::size_t nameAt = fileNameStart(target_);
    const std::string folder = target_.substr(0, nameAt);
    const std::string name = target_.substr(nameAt);
    if (name.empty()) {
        errno = EISDIR;
        return fail();
    }
    // Created like any new file (0666 less the umask); a file it replaces keeps
    // its permissions below.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                                      std::to_string(temporaryCounter++) + ".tmp";
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temporary_ = candidate;
            struct stat st {};
            if (::stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ::fchmod(fd_, st.st_mode & 07777);
            return true;
        }
        if (errno != EEXIST)
            return fail();
    }
    return fail();
}

bool ConfigFileWriter::write(const std::uint8_t* data, std::size_t length)
{
    if (fd_ < 0 || error_ != 0)
        return false;
    while (length > 0) {
        const ssize_t n = ::write(fd_, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        if (n == 0) {
            errno = ENOSPC;
            return fail();
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ConfigFileWriter::commit()
{
    if (fd_ < 0 || error_ != 0)
        return false;
    if (::fsync(fd_) != 0)
        return fail();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
        return fail();
    if (::rename(temporary_.c_str(), target_.c_str()) != 0)
        return fail();
    temporary_.clear();
    syncFolder(target_.substr(0, fileNameStart(target_)));
    return true;
}

void ConfigFileWriter::discard()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

bool readFilePrefix(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    out.resize(limit);
    std::size_t have = 0;
    while (have < limit) {
        const ssize_t n = ::read(fd, out.data() + have, limit - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(have);
    return true;
}

std::string folderOf(const std::string& path)
{
    return path.substr(0, fileNameStart(path));
}

} // namespace bm
