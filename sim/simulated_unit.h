// The simulated processor's protocol engine: the unit's state and its answers,
// with no I/O. Host bytes go in (framed by the count byte, as any receiver
// does), packets to send come out, each with the pause the unit takes first.
// Not thread-safe: the server holds one lock around every call.
#pragma once

#include "link/packet.h"
#include "sim/sim_server.h"
#include "sim/unit_data.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm::sim {

// One packet the unit sends, `delayMs` after the one before it (or after the
// moment it was caused, for the first of a batch).
struct Emission {
    std::vector<std::uint8_t> bytes;
    int delayMs = 0;
};
using Emissions = std::vector<Emission>;

// A whole packet: F1, L + 3, code, L, data, F2.
std::vector<std::uint8_t> framed(std::uint8_t code, const std::vector<std::uint8_t>& data = {});

class SimulatedUnit {
public:
    // The pause between accepting new parameter values (or a factory reset)
    // and announcing the restart with DC_WAKEUP.
    static constexpr int kRestartMs = 300;

    SimulatedUnit(Model model, Firmware firmware);
    // A unit of the firmware grown to these counts (see growUnit).
    SimulatedUnit(Model model, Firmware firmware, int effectCount, int paramCount);

    // Host bytes as they arrive; a packet may span calls.
    Emissions receive(const std::uint8_t* data, std::size_t length);
    // A packet start is waiting for the rest of its bytes.
    bool hasPartialPacket() const;
    // Gives up on a packet whose rest never came: its start byte is dropped
    // and the bytes after it are scanned again.
    Emissions abandonPartial();
    // One whole packet from the host (valid or not).
    Emissions handlePacket(const std::uint8_t* packet, std::size_t length);

    // A console line (front panel or remote). False, with the reason, for a
    // line that is not understood.
    bool console(const std::string& line, Emissions& out, std::string* error = nullptr);
    static std::string consoleHelp();

    // Faults.
    void setNakCommand(int code, std::uint8_t error = DC_INVALID_DATA);
    void setNoWakeupAfterRestart(bool on);
    // Variety: keys that change nothing report nothing; names longer than the
    // unit's fields are refused with DC_INVALID_NAME instead of cut; names go
    // out blank-padded to their whole field with no NUL.
    void setReportChangesOnly(bool on) { reportChangesOnly_ = on; }
    void setRefuseLongNames(bool on) { refuseLongNames_ = on; }
    void setFullWidthNames(bool on) { fullWidthNames_ = on; }
    // Waking from sleep takes the unit `ms` (0: none; negative: it never
    // finishes): it reads commands then and answers none, and DC_WAKEUP goes
    // out once it is ready. The server calls wakingDone() as that DC_WAKEUP
    // leaves; finishWaking() ends a wake that would never finish.
    void setWakeBusy(int ms) { wakeBusyMs_ = ms; }
    bool waking() const { return waking_; }
    void wakingDone() { waking_ = false; }
    void finishWaking(Emissions& out);

    UnitSnapshot snapshot() const;
    const std::vector<std::vector<std::uint8_t>>& receivedPackets() const { return received_; }
    void clearReceived() { received_.clear(); }
    // Every packet framed from the host, valid or not.
    std::size_t packetsRead() const { return packetsRead_; }

    // -1 when the unit has no parameter of that name.
    int paramId(std::string_view name) const;
    std::uint8_t paramValue(std::string_view name) const;
    std::array<std::string, 2> displayLines() const;
    bool frontPanelReporting() const { return fpdOn_; }
    bool asleep() const { return asleep_; }

    // IR key code by the unit's key name (BASS_UP, INPUT_DVD, ZONE2_MUTE...),
    // -1 when unknown.
    static int keyCode(std::string_view name);

private:
    struct CommandDef;
    static const CommandDef kCommands[];

    void resetToFactory();
    void ack(std::uint8_t code, Emissions& out) const;
    void nak(std::uint8_t code, std::uint8_t error, Emissions& out) const;
    void report(int id, Emissions& out) const;
    // Sets a parameter; reports it when it changed or when `always`.
    void setParam(int id, std::uint8_t value, bool always, Emissions& out);
    void refreshDisplay(Emissions& out, bool force = false);
    void restart(Emissions& out);
    bool pressKey(std::uint8_t key, Emissions& out);
    std::array<std::uint8_t, 9> sysStatus() const;
    std::array<std::uint8_t, 5> zone2Status() const;

    // Command handlers, `data` being the packet's L data bytes.
    void onAckOnly(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onIr(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetConfig(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetSysStatus(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetRecStatus(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetParamById(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetParamValues(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetEffect(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetEffectValues(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetParamValues(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetLevel(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetOutputAdjust(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onClearRecInput(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetFpdCtrl(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetCustName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetCustName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onGetInputName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onSetInputName(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);
    void onRestoreDefaults(std::uint8_t code, const std::uint8_t* data, std::size_t n, Emissions& out);

    UnitData factory_;
    std::array<std::uint8_t, 25> config_{};
    std::vector<ParamSpec> params_;
    std::vector<EffectSpec> effects_;
    std::array<std::string, 8> inputNames_;
    std::string customName_;
    bool customShown_ = false;

    std::array<std::uint8_t, 4> fpdControl_{};
    bool fpdOn_ = false;
    bool asleep_ = false;
    std::optional<std::array<std::string, 2>> displayOverride_;
    std::array<std::string, 2> lastDisplaySent_;

    std::vector<std::uint8_t> rx_;
    std::vector<std::vector<std::uint8_t>> received_;
    std::size_t packetsRead_ = 0;

    int nakCode_ = -1;
    std::uint8_t nakError_ = DC_INVALID_DATA;
    bool noWakeup_ = false;
    int wakeBusyMs_ = 0;
    bool waking_ = false;
    bool reportChangesOnly_ = false;
    bool refuseLongNames_ = false;
    bool fullWidthNames_ = false;
};

} // namespace bm::sim
