// brennmark-cli run as a process by the service's tests: its exit status and
// what it wrote, and ir's output without the front panel's lines.
#pragma once

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bm::test {

struct CliRun {
    int status = -1;
    std::string out, err;
};

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline CliRun runCli(std::vector<std::string> args)
{
    char outPath[] = "/tmp/bm-cli-out-XXXXXX";
    char errPath[] = "/tmp/bm-cli-err-XXXXXX";
    const int out = ::mkstemp(outPath);
    const int err = ::mkstemp(errPath);
    args.insert(args.begin(), BM_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    CliRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    ::close(out);
    ::close(err);
    ::unlink(outPath);
    ::unlink(errPath);
    return r;
}

// ir's output without the front panel's lines (text) or entries (JSON).
inline std::string withoutDisplay(const std::string& out)
{
    std::string kept;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        std::string line = out.substr(at, end - at);
        at = end == std::string::npos ? out.size() : end + 1;
        auto j = nlohmann::ordered_json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.contains("changes")) {
            auto& changes = j["changes"];
            for (auto it = changes.begin(); it != changes.end();)
                it = (*it)["name"].get<std::string>().rfind("display-", 0) == 0 ? changes.erase(it) : it + 1;
            line = j.dump();
        } else if (line.find(": display-") != std::string::npos) {
            continue;
        }
        kept += line + "\n";
    }
    return kept;
}

} // namespace bm::test
