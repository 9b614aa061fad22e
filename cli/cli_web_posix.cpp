#include "cli/cli_web.h"

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bm::cli {

bool openInBrowser(const std::string& url)
{
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!x || !*x) && (!wayland || !*wayland))
        return false;
    // The browser's own output stays out of this program's.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = "xdg-open";
    std::string target = url;
    char* argv[] = {program.data(), target.data(), nullptr};
    pid_t pid = 0;
    const int failed = ::posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0); // xdg-open hands the link over and returns
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace bm::cli
