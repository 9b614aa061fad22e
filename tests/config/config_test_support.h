// Shared pieces of the configuration tests: a temporary folder, file helpers,
// a link and device model wired to a serial device, and a scripted unit on a
// fake port for cases the simulated unit cannot be made to show.
#pragma once

#include "link/packet.h"
#include "link/quor_control.h"
#include "model/device_model.h"
#include "tests/support/fake_serial_port.h"
#include "platform/manual_owner_window.h"
#include "tests/support/memory_settings.h"
#include "tests/support/scripted_prompt.h"
#include "tests/support/scripted_file_dialog.h"
#include "platform/settings_keys.h"
#include "sim/sim_server.h"
#include "tests/support/fast_timing.h"
#include "tests/support/program_rig.h"
#include "tests/support/sim_rig.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace bm::test {

#ifdef _WIN32
// Windows has no file-size limit to fill a disk with: ok() is false.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long) {}
    bool ok() const { return false; }
    void lift() {}
};
#else
// A disk that fills up, made real: lowers the file-size limit so that write()
// fails with EFBIG past `bytes` (SIGXFSZ ignored), until lift() or destruction.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        if (::sigaction(SIGXFSZ, &ignore, &signalBefore_) != 0 || ::getrlimit(RLIMIT_FSIZE, &saved_) != 0)
            return;
        rlimit small = saved_;
        small.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool ok() const { return ok_; }
    void lift()
    {
        if (!ok_)
            return;
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::sigaction(SIGXFSZ, &signalBefore_, nullptr);
        ok_ = false;
    }

private:
    struct sigaction signalBefore_ {};
    rlimit saved_ {};
    bool ok_ = false;
};
#endif

using Bytes = std::vector<std::uint8_t>;

class TempFolder {
public:
    TempFolder()
    {
        // A new folder of a name nobody has taken (create_directory is false
        // for an existing one).
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   ("bm-config-" + std::to_string(stamp) + "-" + std::to_string(counter++));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error))
                path_ = candidate.generic_string();
        }
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    // The folder with its trailing separator.
    std::string folder() const { return path_ + "/"; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Every entry's name, sorted.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

inline Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string idKey(int id)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", id);
    return text;
}

// What a unit is: enough to answer every request the program makes of it and
// to fill the definition cache as a previous download would have.
struct UnitDefinition {
    std::array<std::uint8_t, 25> config{};
    std::vector<std::string> paramNames;
    std::vector<std::uint8_t> paramMax;
    std::vector<std::uint8_t> paramValues;
    std::vector<std::string> effectNames;
    std::vector<std::vector<std::uint8_t>> effectParams;
    std::array<std::string, 8> inputNames;
    std::string customName;
};

// Writes the definition cache so that the link starts without a download.
inline void seedDefinitionCache(SettingsStore& settings, const UnitDefinition& unit)
{
    for (int i = 0; i < 9; ++i)
        settings.writeInt(keys::kCacheUnitConfig, keys::kUnitConfigFields[i], unit.config[static_cast<std::size_t>(i)]);
    std::string stamp(reinterpret_cast<const char*>(unit.config.data() + 9), 16);
    stamp.resize(stamp.find('\0') == std::string::npos ? 16 : stamp.find('\0'));
    settings.writeString(keys::kCacheUnitConfig, keys::kTimeStamp, stamp);
    settings.writeString(keys::kCacheUnitConfig, keys::kDefinitionsComplete, stamp);
    for (std::size_t id = 0; id < unit.paramNames.size(); ++id) {
        settings.writeString(keys::kCacheParamNames, idKey(static_cast<int>(id)), unit.paramNames[id]);
        settings.writeInt(keys::kCacheParamMax, idKey(static_cast<int>(id)), unit.paramMax[id]);
    }
    for (std::size_t id = 0; id < unit.effectNames.size(); ++id) {
        settings.writeString(keys::kCacheEffectNames, idKey(static_cast<int>(id)), unit.effectNames[id]);
        settings.writeInt(keys::kCacheEffectMaxParams, idKey(static_cast<int>(id)),
                          static_cast<int>(unit.effectParams[id].size()));
    }
}

// Sender pacing cut to the bone; the save and restore waits keep their counts
// but not their pauses, so a test spends its time on the line only. Each wait
// still allows a second or more: counts up, intervals down.
inline FastTiming configTiming()
{
    FastTiming timing;
    timing.ackWaitCount = 3;
    timing.ackWaitIntervalMs = 2;
    timing.configWaitCount = 200;
    timing.configWaitIntervalMs = 5;
    timing.wakeupWaitIntervalMs = 10;
    timing.configExtraDelayMs = 1;
    return timing;
}

// A unit on a FakeSerialPort: a thread answers each packet the link writes as
// the processor would. Used where the simulated unit cannot take the shape a
// test needs (no effects at all).
class ScriptedUnit {
public:
    explicit ScriptedUnit(UnitDefinition unit) : unit_(std::move(unit)) {}
    ~ScriptedUnit() { stop(); }

    FakeSerialPort& port() { return port_; }
    void start()
    {
        running_ = true;
        thread_ = std::thread([this] { serve(); });
    }
    void stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    // From the first packet that `silentFrom` accepts on, nothing is answered.
    void setSilentFrom(std::function<bool(const Bytes&)> silentFrom)
    {
        std::lock_guard lock(mutex_);
        silentFrom_ = std::move(silentFrom);
    }
    // From now on every answer comes behind `reports` of the unit's own reports
    // of parameter 0 (someone turning the volume knob); a request with the
    // code `refuse` is answered DC_NAK, one with the code `ignore` nothing but
    // the reports.
    void setFlood(int reports, int refuse = -1, int ignore = -1)
    {
        std::lock_guard lock(mutex_);
        flood_ = {reports, refuse, ignore};
    }
    UnitDefinition unit() const
    {
        std::lock_guard lock(mutex_);
        return unit_;
    }
    std::vector<Bytes> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    static Bytes frame(std::uint8_t code, const Bytes& data)
    {
        const Packet p = framePacket(code, data.data(), data.size());
        return Bytes(p.bytes.begin(), p.bytes.begin() + p.length);
    }
    static Bytes name(const std::string& text) // the characters and a NUL
    {
        Bytes bytes(text.begin(), text.end());
        bytes.push_back(0);
        return bytes;
    }

    void serve()
    {
        std::size_t seen = 0;
        while (running_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::vector<Bytes> writes = port_.writes();
            for (; seen < writes.size(); ++seen)
                answer(writes[seen]);
        }
    }

    void answer(const Bytes& packet)
    {
        std::vector<Bytes> out;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(packet);
            if (silent_ || (silentFrom_ && silentFrom_(packet))) {
                silent_ = true;
                return;
            }
            if (packet.size() < 5)
                return;
            const std::uint8_t code = packet[2];
            const Bytes data(packet.begin() + 4, packet.end() - 1);
            const std::uint8_t first = data.empty() ? 0 : data[0];
            const std::uint8_t volume = unit_.paramValues.empty() ? 0 : unit_.paramValues[0];
            for (int i = 0; i < flood_.reports; ++i)
                out.push_back(frame(DC_PARAM_CHG_MSG, {0, volume}));
            if (code == flood_.refuse)
                out.push_back(frame(DC_NAK, {code, 0x12}));
            switch (code == flood_.ignore || code == flood_.refuse ? -1 : int{code}) {
            case -1:
                break;
            case DC_CMD_GET_SYS_STATUS:
                out.push_back(frame(DC_RESP_SYS_STATUS, {40, 6, 0, 2, 1, 0, 0, 16, 16}));
                break;
            case DC_CMD_GET_REC_STATUS:
                out.push_back(frame(DC_RESP_REC_ZONE2_STATUS, {30, 2, 0, 0, 16}));
                break;
            case DC_CMD_GET_CONFIG:
                out.push_back(frame(DC_RESP_UNIT_CONFIG, Bytes(unit_.config.begin(), unit_.config.end())));
                break;
            case DC_CMD_GET_CUST_NAME:
                out.push_back(frame(DC_RESP_CUST_NAME, name(unit_.customName)));
                break;
            case DC_CMD_GET_INPUT_NAME: {
                Bytes d{first};
                const Bytes n = name(unit_.inputNames[first % 8]);
                d.insert(d.end(), n.begin(), n.end());
                out.push_back(frame(DC_RESP_INPUT_NAME, d));
                break;
            }
            case DC_CMD_GET_SYS_PARAM_VALUES:
                out.push_back(frame(DC_RESP_SYS_PARAM_VALUES, unit_.paramValues));
                break;
            case DC_CMD_GET_EFFECT_PARAM_VALUES: {
                Bytes d{first};
                if (first < unit_.effectParams.size())
                    d.insert(d.end(), unit_.effectParams[first].begin(), unit_.effectParams[first].end());
                out.push_back(frame(DC_RESP_EFFECT_PARAM_VALUES, d));
                break;
            }
            case DC_CMD_SET_INPUT_NAME:
                if (!data.empty())
                    unit_.inputNames[first % 8] = std::string(reinterpret_cast<const char*>(data.data() + 1));
                out.push_back(frame(DC_ACK, {code}));
                break;
            case DC_CMD_SET_CUST_NAME:
                if (data.size() > 1)
                    unit_.customName = std::string(reinterpret_cast<const char*>(data.data() + 1));
                out.push_back(frame(DC_ACK, {code}));
                break;
            case DC_CMD_SET_SYS_PARAM_VALUES:
                unit_.paramValues = data;
                out.push_back(frame(DC_ACK, {code}));
                out.push_back(frame(DC_WAKEUP, {}));
                break;
            default:
                out.push_back(frame(DC_ACK, {code}));
                break;
            }
        }
        for (Bytes& chunk : out)
            port_.inject(std::move(chunk));
    }

    FakeSerialPort port_;
    mutable std::mutex mutex_; // guards unit_, received_ and the silence rule
    UnitDefinition unit_;
    std::vector<Bytes> received_;
    std::function<bool(const Bytes&)> silentFrom_;
    bool silent_ = false;
    struct {
        int reports = 0;
        int refuse = -1;
        int ignore = -1;
    } flood_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// A small DE-1 of this program's own making, for the scripted unit.
inline UnitDefinition smallUnit(int params, int effects)
{
    UnitDefinition unit;
    unit.config = {2, 4, 0, 3, 7, 1, 2, static_cast<std::uint8_t>(params), static_cast<std::uint8_t>(effects)};
    const char stamp[] = "01/02/03 04:05";
    std::copy(stamp, stamp + sizeof stamp - 1, unit.config.begin() + 9);
    for (int id = 0; id < params; ++id) {
        unit.paramNames.push_back("PARAM_" + std::to_string(id));
        unit.paramMax.push_back(static_cast<std::uint8_t>(10 + id % 50));
        unit.paramValues.push_back(static_cast<std::uint8_t>(id % 10));
    }
    for (int id = 0; id < effects; ++id) {
        unit.effectNames.push_back("EFFECT " + std::to_string(id));
        unit.effectParams.push_back(Bytes(static_cast<std::size_t>(3 + id % 4), static_cast<std::uint8_t>(id)));
    }
    unit.inputNames = {"Tape", "Tuner", "CD", "Aux", "TV", "V-Disc", "DVD", "VCR"};
    unit.customName = "Living Room";
    return unit;
}

// The id of the unit's parameter of that name, -1 when it has none.
inline int paramIdOf(const sim::UnitSnapshot& snap, const std::string& name)
{
    for (std::size_t id = 0; id < snap.paramNames.size(); ++id)
        if (snap.paramNames[id] == name)
            return static_cast<int>(id);
    return -1;
}

inline UnitDefinition definitionOf(const sim::UnitSnapshot& snap)
{
    UnitDefinition unit;
    unit.config = snap.unitConfig;
    unit.paramNames = snap.paramNames;
    unit.paramMax = snap.paramMax;
    unit.paramValues = snap.paramValues;
    unit.effectNames = snap.effectNames;
    unit.effectParams = snap.effectParams;
    unit.inputNames = snap.inputNames;
    unit.customName = snap.customName;
    return unit;
}

// The simulated unit in fast mode behind a pseudo-terminal, its definitions
// already in the program's cache, the program's side connected to it after its
// status sweep, a scripted file dialog and a temporary folder.
class SimUnitTest : public ::testing::Test {
protected:
    // `tune` may change settings before the link reads them.
    void startUnit(sim::SimOptions options = {}, const std::function<void(SettingsStore&)>& tune = {})
    {
        ASSERT_TRUE(folder.ok());
        ASSERT_TRUE(program.start(options, false, configTiming(),
                                  [&](SimRig& rig) {
                                      seedDefinitionCache(rig.settings, definitionOf(rig.sim->snapshot()));
                                      if (tune)
                                          tune(rig.settings);
                                  },
                                  15000))
            << "the status sweep did not end";
        program.prompt.clear();
        sim->clearReceived();
    }

    CQuorControl& link() { return *program.link; }
    DeviceModel& model() { return program.model; }
    ScriptedPrompt& prompt() { return program.prompt; }
    InMemorySettings& settings() { return program.settings; }

    // Packets the unit has read since the last clearReceived(), by code.
    std::vector<std::uint8_t> receivedCodes() const
    {
        std::vector<std::uint8_t> codes;
        for (const Bytes& p : sim->receivedPackets())
            codes.push_back(p.size() > 2 ? p[2] : 0);
        return codes;
    }

    bool captureOff() { return !link().state().captureOn() && !link().PopCaptured(); }

    bool waitForSweepEnd() { return waitUntil([&] { return !link().state().StatusSweepActive.load(); }, 10000); }

    TempFolder folder;
    ScriptedFileDialog dialog;
    SimRig program; // stopped before the folder goes
    std::unique_ptr<sim::SimServer>& sim = program.sim;
};

} // namespace bm::test
