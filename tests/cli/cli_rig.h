// brennmark-cli run as a process against the simulated unit: a settings folder
// of its own (XDG_CONFIG_HOME) holding fast link timings and, unless a test
// wants the first-use download, the unit's definitions; the unit in-process on
// a pseudo-terminal (so a test can read its state) or ridaziv-sim as a process.
#pragma once

#include "../config/config_test_support.h"
#include "config/config_file.h"
#include "config/config_units.h"
#include "platform/ini_settings.h"
#include "sim/sim_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sstream>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bm::test {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;

    std::vector<std::string> outLines() const { return splitLines(out); }
    std::vector<std::string> errLines() const { return splitLines(err); }

    static std::vector<std::string> splitLines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        return lines;
    }
};

// `text` without the blanks (white space) at either end.
inline std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A JSON value as a person reads it: a text as it is, a number as printed
// (-28, -1.5), anything else as JSON writes it.
inline std::string jsonText(const nlohmann::json& value)
{
    if (value.is_string())
        return value.get<std::string>();
    if (!value.is_number())
        return value.dump();
    std::ostringstream number;
    number << value.get<double>();
    return number.str();
}

// Collects the writes made through it and hands them to `store` as one batch
// when it goes: one rewrite of an INI file rather than one per value (a
// definition cache is hundreds). Reads see only what `store` holds already.
class BatchedSettings : public SettingsStore {
public:
    explicit BatchedSettings(SettingsStore& store) : store_(store) {}
    ~BatchedSettings() override { EXPECT_TRUE(store_.writeBatch(values_)); }
    BatchedSettings(const BatchedSettings&) = delete;
    BatchedSettings& operator=(const BatchedSettings&) = delete;

    int readInt(std::string_view section, std::string_view name, int defaultValue) override
    {
        return store_.readInt(section, name, defaultValue);
    }
    std::string readString(std::string_view section, std::string_view name, std::string_view defaultValue) override
    {
        return store_.readString(section, name, defaultValue);
    }
    bool writeInt(std::string_view section, std::string_view name, int value) override
    {
        values_.push_back({std::string(section), std::string(name), value});
        return true;
    }
    bool writeString(std::string_view section, std::string_view name, std::string_view value) override
    {
        values_.push_back({std::string(section), std::string(name), std::string(value)});
        return true;
    }
    bool contains(std::string_view section, std::string_view name) override { return store_.contains(section, name); }

private:
    SettingsStore& store_;
    std::vector<SettingsValue> values_;
};

// A started process with its output going to files in `folder`.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& configHome, const std::string& outPath,
            const std::string& errPath, const std::vector<std::string>& extraEnv = {})
        : outPath_(outPath), errPath_(errPath)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 && std::strncmp(*e, "BRENNMARK_PORT=", 15) != 0)
                env.emplace_back(*e);
        env.push_back("XDG_CONFIG_HOME=" + configHome);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& a : args)
            argp.push_back(a.data());
        argp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGTERM);
            wait();
        }
    }

    bool started() const { return pid_ > 0; }
    int wait()
    {
        if (pid_ <= 0)
            return -1;
        if (status_ < 0) {
            int raw = 0;
            ::waitpid(pid_, &raw, 0);
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return status_;
    }
    void terminate() { sendSignal(SIGTERM); }
    void sendSignal(int signal)
    {
        if (pid_ > 0 && status_ < 0)
            ::kill(pid_, signal);
    }
    std::string out() const { return fileText(outPath_); }
    std::string err() const { return fileText(errPath_); }

    static std::string fileText(const std::string& path)
    {
        const Bytes bytes = readFile(path);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.ok());
        ASSERT_EQ(::mkdir(folder.file("config").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(folder.file("config/Tollvane").c_str(), 0700), 0);
    }

    // The unit in-process; its definitions already in the settings unless `download`.
    void startUnit(sim::SimOptions options = {}, bool download = false)
    {
        options.fast = true;
        options.linkPath = folder.file("unit");
        sim = std::make_unique<sim::SimServer>(options);
        ASSERT_TRUE(sim->start());
        prepareSettings(download ? nullptr : &*sim);
        sim->clearReceived();
    }

    // Another unit, of `firmware`, where the one before was (the same device).
    bool plugInUnit(sim::Firmware firmware)
    {
        sim.reset();
        sim::SimOptions options;
        options.firmware = firmware;
        options.fast = true;
        options.linkPath = folder.file("unit");
        sim = std::make_unique<sim::SimServer>(options);
        return sim->start();
    }

    // Fast link timings, and the definitions of `unit` as a download leaves them.
    void prepareSettings(sim::SimServer* unit)
    {
        IniSettingsStore file(settingsFile());
        BatchedSettings store(file);
        storeFastTiming(store, configTiming());
        if (unit)
            seedDefinitionCache(store, definitionOf(unit->snapshot()));
    }

    // Runs brennmark-cli with `args` after --port (when a unit runs) and waits for it.
    CliResult cli(std::vector<std::string> args, bool withPort = true, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> argv{BM_CLI_PATH};
        if (withPort && sim) {
            argv.push_back("--port");
            argv.push_back(folder.file("unit"));
        }
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv, folder.file("config"), folder.file("out.txt"), folder.file("err.txt"), env);
        CliResult r;
        r.status = p.wait();
        r.out = p.out();
        r.err = p.err();
        return r;
    }

    std::unique_ptr<Process> spawnCli(std::vector<std::string> args, const std::string& tag)
    {
        std::vector<std::string> argv{BM_CLI_PATH, "--port", folder.file("unit")};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Process>(argv, folder.file("config"), folder.file(tag + ".out"),
                                         folder.file(tag + ".err"));
    }

    // The settings file brennmark-cli reads (the panel's INI file).
    std::string settingsFile() const { return folder.file("config/Tollvane/Brennmark.conf"); }

    // One JSON object; an empty one (and a failure) for anything else, so that
    // a test reads its members with value() and a default.
    static nlohmann::json parseObject(const std::string& text)
    {
        const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << "not JSON:\n" << text;
        EXPECT_TRUE(doc.is_object()) << text;
        return doc.is_object() ? doc : nlohmann::json::object();
    }

    int paramId(const std::string& name) const { return test::paramIdOf(sim->snapshot(), name); }
    std::uint8_t paramValue(const std::string& name) const
    {
        return sim->snapshot().paramValues[static_cast<std::size_t>(paramId(name))];
    }

    // A parameter's value in a saved file, as the pages show it.
    std::string valueTextOf(const std::string& file, const std::string& name) const
    {
        const Bytes bytes = readFile(file);
        return valueText(unitOfParam(name), bytes[206 + static_cast<std::size_t>(paramId(name))]);
    }

    // Codes of the packets the unit has read since the last clearReceived().
    std::vector<std::uint8_t> receivedCodes() const
    {
        std::vector<std::uint8_t> codes;
        for (const Bytes& p : sim->receivedPackets())
            codes.push_back(p.size() > 2 ? p[2] : 0);
        return codes;
    }
    bool received(std::uint8_t code) const
    {
        const auto codes = receivedCodes();
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }

    TempFolder folder;
    std::unique_ptr<sim::SimServer> sim;
};

} // namespace bm::test
