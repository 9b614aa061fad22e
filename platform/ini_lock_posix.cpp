// QSettings' lock file on POSIX, laid out as QLockFile lays it out: the lock
// is "<file>.lock" created with O_EXCL and held with flock(), holding
// "pid\nprogram\nhost\n". A lock whose holder is gone (same host, no such
// process) or that is older than 30 s is taken over, as QLockFile does.
#include "platform/ini_settings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace bm {

namespace {

constexpr std::chrono::milliseconds kPoll{5};
constexpr time_t kStaleSeconds = 30;

std::string hostName()
{
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    return buffer;
}

// The running program's file name, which QLockFile compares with the name of
// the process that holds the pid.
std::string programName()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "brennmark";
    const std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

// True when the lock at `path` was left by a process that is gone, or is
// older than QLockFile's stale time.
bool isStale(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    struct stat st {};
    const bool haveStat = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (n > 0) {
        const std::string text(buffer, static_cast<std::size_t>(n));
        const std::size_t first = text.find('\n');
        const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
        const std::size_t third = second == std::string::npos ? second : text.find('\n', second + 1);
        if (third != std::string::npos) {
            const long pid = std::strtol(text.c_str(), nullptr, 10);
            const std::string host = text.substr(second + 1, third - second - 1);
            if (pid > 0 && (host.empty() || host == hostName()) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
                errno == ESRCH)
                return true;
        }
    }
    return haveStat && ::time(nullptr) - st.st_mtime > kStaleSeconds;
}

// Removes a stale lock unless someone holds it (its holder keeps a flock).
void removeStale(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(path.c_str());
    ::close(fd);
}

} // namespace

IniFileLock::~IniFileLock()
{
    release();
}

bool IniFileLock::acquire(const std::string& file, std::chrono::milliseconds patience, std::string& reason)
{
    release();
    const std::string path = file + ".lock";
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                // Someone took over this very file between our create and flock.
                ::close(fd);
            } else {
                const std::string content =
                    std::to_string(::getpid()) + "\n" + programName() + "\n" + hostName() + "\n";
                if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
                    reason = std::strerror(errno);
                    ::unlink(path.c_str());
                    ::close(fd);
                    return false;
                }
                path_ = path;
                fd_ = fd;
                return true;
            }
        } else if (errno != EEXIST) {
            reason = std::strerror(errno);
            return false;
        } else if (isStale(path)) {
            removeStale(path);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            reason = "the settings file is locked by another program";
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

void IniFileLock::release()
{
    if (fd_ < 0)
        return;
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
    path_.clear();
}

} // namespace bm
