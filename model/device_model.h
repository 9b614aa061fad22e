// DeviceModel: the unit as the program knows it (configuration, definitions,
// parameter values, effects, live status, tone steppers) and every operation
// that reads or changes the unit. The receiver writes the records while the
// user-interface thread reads them: every access takes a short lock and readers
// get copies, so a page never sees a torn name.
#pragma once

#include "link/link_client.h"
#include "link/operation_queue.h"
#include "model/records.h"
#include "platform/prompt.h"
#include "platform/settings_store.h"

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

namespace bm {

class CQuorControl;
struct SpeakerEncoding; // one speaker group's parameters and choices
struct CachedDefinitions;

class DeviceModel : public LinkClient {
public:
    // Timers of the model on the link's owner window (the link has 2 and 10).
    // A tone step whose report does not come within kToneReportLimitMs ends;
    // a status re-read goes out kStatusRereadDelayMs after the last cause.
    static constexpr int kToneTimerFirst = 21; // + ToneControl: 21 bass, 22 treble, 23 tilt
    static constexpr int kStatusRereadTimer = 24;
    static constexpr int kToneReportLimitMs = 1000;
    // A step that finds the line held waits for it, trying every
    // kToneRetryMs, at most kToneStartLimitMs; then it is dropped unpressed.
    static constexpr int kToneRetryMs = 100;
    static constexpr int kToneStartLimitMs = 10000;
    static constexpr int kStatusRereadDelayMs = 600;
    // What a status re-read asks for.
    static constexpr unsigned kRereadSysStatus = 1;
    static constexpr unsigned kRereadZone2Status = 2;

    DeviceModel(SettingsStore& settings, Prompt& prompt);

    // --- LinkClient ------------------------------------------------------
    void bindLink(CQuorControl& link) override;
    void loadDefinitionCache() override; // LoadDefinitionCache
    void storeParamValue(std::uint8_t id, std::uint8_t value) override;
    void mirrorParamChange(std::uint8_t id, std::uint8_t value) override;
    void storeFrontPanel(const std::uint8_t* data, std::size_t length) override;
    void setCurrentEffect(std::uint8_t effectId) override;
    void routePacket(const Packet& packet) override;

    CQuorControl& link(); // the bound link; must be bound

    // --- Unit configuration and definition cache ---------------------------
    // The start-up probe: true when the cache cannot be trusted and a
    // download is forced: it has no "0x00" under "Config\Params\MaxValues",
    // or no download for its ROM timestamp was finished (see
    // keys::kDefinitionsComplete).
    static bool definitionCacheMissing(SettingsStore& settings);
    void LoadDefinitionCache();
    // Sets StatusSweepActive and sends DC_CMD_GET_SYS_STATUS.
    void StartStatusSweep();
    // What a status sweep asks for besides the status, which it always asks
    // for. The unit configuration is the ROM check (a download follows it
    // when needed); a one-shot command leaves it out of the sweeps after its
    // first. The program reads everything; a one-shot command (brennmark-cli
    // get) only what it shows. A part left out is passed over as if its
    // answer had come.
    enum SweepPart : unsigned {
        kSweepZone2Status = 1,
        kSweepCustomName = 2,
        kSweepInputNames = 4,
        kSweepParamValues = 8,
        kSweepUnitConfig = 16,
        kSweepEverything = 31,
    };
    void setSweepParts(unsigned parts) { sweepParts_ = parts; }
    unsigned sweepParts() const { return sweepParts_; }

    // --- System parameters -------------------------------------------------
    int ResolveNamedParam(std::string_view name, std::uint8_t id);
    int GetSysParams(bool wait);
    // 1 done; 0 refused or not restarted (waiting); -1 when nothing may be
    // sent: more than 252 values, or a value whose definition (maximum) the
    // program does not hold.
    int SetSysParams(bool wait);
    // How the last waiting SetSysParams ended: Done; Refused; NotAnswered;
    // LineLost or Cancelled (the line could not be had, or went before the
    // acknowledgement); Unconfirmed when the unit acknowledged the write but
    // never announced its restart. Pending when nothing could be sent (-1).
    Outcome lastParamWrite() const;
    // True when the definition of parameter `id` came from the unit or a
    // trusted cache.
    bool paramDefined(std::uint8_t id) const;
    // Value readers (id 0 when the slot is unresolved).
    std::uint8_t BassLevel() const;
    std::uint8_t TrebleLevel() const;
    std::uint8_t TiltLevel() const;
    std::uint8_t LoudnessState() const;
    std::uint8_t RecordEnabledState() const;
    // Speaker encodings: set returns 1, or -1 (choice outside the table or an
    // unresolved slot); get returns the choice or -1.
    int SetFrontSpeakers(int choice);
    int GetFrontSpeakers() const;
    int SetCenterSpeaker(int choice);
    int GetCenterSpeaker() const;
    int SetRearSpeakers(int choice);
    int GetRearSpeakers() const;
    int SetSideSpeakers(int choice);
    int GetSideSpeakers() const;
    int SetSideDipole(int type); // 16 dipole, 0 standard
    int GetSideDipole() const;   // 16, 0, or -1
    int SetSubwoofer(int choice);
    int GetSubwoofer() const;

    // --- Effects -----------------------------------------------------------
    // The current effect's name; 0 and "" when Effect is 32 or more.
    int CurrentEffectName(std::string& out) const;

    // --- Status and direct controls (send-if-changed where it applies) ------
    int SetVolume(std::uint8_t v);
    int SetBalance(std::uint8_t v);
    int SetFrontBackBalance(std::uint8_t v);
    int SetMute(std::uint8_t v);
    int SetZone2Volume(std::uint8_t v);
    int SetZone2Balance(std::uint8_t v);
    int SetOutputAdjust(int channel, std::uint8_t v);
    int SendIrKey(std::uint8_t key);
    int SetLoudness(bool on);
    int SetZone2Mute(bool on);
    int ClearRecordInput();
    int SetInputName(int index, std::string_view name);
    int SetCustomName(bool enabled, std::string_view name);
    int SetFrontPanelControl(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    int RestoreDefaults();
    int HostWakeup();
    int HostSleep();
    // Slider positions of the levels whose sliders run upside down, by their
    // scales in model/levels.h (volume 92 - Volume, front/back 32 - value,
    // output 40 - the channel's parameter value); -1 for a channel outside 0..7.
    int VolumePosition() const;
    int Zone2VolumePosition() const;
    int FrontBackPosition() const;
    int OutputPosition(int channel) const;
    int InputNameOf(std::string& out) const;
    int RecordInputName(std::string& out) const;
    // The Info page's "Off": Input 8, Effect 32, no stream, empty display.
    void markUnitOff();

    // --- Tone stepping -----------------------------------------------------
    int SetBassLevel(std::uint8_t level);
    int SetTrebleLevel(std::uint8_t level);
    int SetTiltLevel(std::uint8_t level);
    ToneStepper stepper(ToneControl control) const;

    // --- Keeping shown status true ------------------------------------------
    // Some status fields have no parameter the unit reports (front/back
    // balance, record input, sample rate and stream format), and some commands
    // change them without telling. Asks for the status records in `parts`
    // once, kStatusRereadDelayMs after the last such request, outside a sweep,
    // a capture and the send suppression.
    void requestStatusReread(unsigned parts);

    // --- Record access (copies, under the lock) ---------------------------
    UnitConfig unitConfig() const;
    void setUnitConfig(const UnitConfig& config);
    UnitStatus status() const;
    void setVolumeField(std::uint8_t v); // the Speaker Config page's forced resend (255)
    ParamDef paramDef(std::uint8_t id) const;
    std::uint8_t paramValue(std::uint8_t id) const;
    std::array<std::uint8_t, kParamTableSize> paramValues() const;
    int paramValueCount() const;
    // Replaces the values of ids 0..count-1 and sets ParamValueCount.
    void setParamValues(const std::uint8_t* values, int count);
    void setParamValueCount(int count);
    std::uint8_t namedSlot(NamedParam slot) const; // the id, 0 when unresolved
    EffectDef effect(int id) const;                // empty outside 0..31
    // Local copies of names without sending (the restore, on acknowledgement).
    void storeInputName(int index, std::string_view name);
    void storeCustomName(std::string_view name);

private:
    // Frames and sends one packet. Never called with mutex_ held: SendPacket
    // holds its caller for the pacing delay.
    void send(std::uint8_t code, std::initializer_list<std::uint8_t> data = {});
    void send(std::uint8_t code, const std::uint8_t* data, std::size_t length);

    // Response handlers, one per routed code (receiver thread).
    void onUnitConfig(const Packet& packet);
    void onSysStatus(const Packet& packet);
    void onZone2Status(const Packet& packet);
    void onParamDef(const Packet& packet);
    void onParamValues(const Packet& packet);
    void onEffectDef(const Packet& packet);
    void onCustomName(const Packet& packet);
    void onInputName(const Packet& packet);
    // At the end of a download: every definition, then the unit configuration
    // and the completeness mark, as one batch. Nothing when a definition is missing.
    void writeDefinitionCache();
    // Another ROM than the cache's in use: when the cache holds that ROM's
    // definitions, they replace the tables and become the entry in use (true,
    // with the entry in use kept under its own ROM); false when it does not.
    bool switchToCachedRom(const UnitConfig& unit);
    void applyDefinitionsLocked(const CachedDefinitions& cached);

    // Helpers that expect mutex_ to be held by the caller.
    std::uint8_t slotLocked(NamedParam slot) const { return slots_[static_cast<int>(slot)]; }
    std::uint8_t slotValueLocked(NamedParam slot) const { return paramValues_[slotLocked(slot)]; }
    int resolveLocked(std::string_view name, std::uint8_t id);
    void storeValuesLocked(const std::uint8_t* values, int count);
    int setEncodingLocked(const SpeakerEncoding& encoding, int choice);
    int getEncodingLocked(const SpeakerEncoding& encoding) const;
    int applySideLocked(int choice, bool dipole);
    int getSideSpeakersLocked() const;
    int getSideDipoleLocked() const;

    // Send-if-changed on one status byte.
    int setStatusByte(std::uint8_t UnitStatus::*field, std::uint8_t code, std::uint8_t v);
    int sendName(std::uint8_t code, std::uint8_t first, std::string_view name);
    int setToneLevel(ToneControl control, std::uint8_t level);
    void continueToneStep(ToneControl control, std::uint8_t value);
    void settleReread(std::uint8_t answerCode); // a status answer came: the re-read may be over
    void startToneStep(ToneControl control); // waits for the line when it is held
    void finishToneStep(ToneControl control); // the step is over: the line is free again
    void armToneTimer(ToneControl control);
    void endToneStep(ToneControl control); // the tone timer's procedure
    void rereadStatus();                   // the re-read timer's procedure

    SettingsStore& settings_;
    Prompt& prompt_;
    CQuorControl* link_ = nullptr;

    mutable std::mutex mutex_; // guards every record below
    UnitConfig config_;
    std::array<ParamDef, kParamTableSize> paramDefs_{};
    std::array<std::uint8_t, kParamTableSize> paramValues_{};
    std::bitset<kParamTableSize> paramDefined_;   // definitions held, by id
    std::bitset<kEffectTableSize> effectDefined_; // effect definitions of the running download
    // Each parameter's value as its definition reported it ("LastValues").
    std::array<std::uint8_t, kParamTableSize> definitionValues_{};
    int paramValueCount_ = 0;
    std::array<std::uint8_t, kNamedParamCount> slots_{};
    std::array<EffectDef, kEffectTableSize> effects_{};
    UnitStatus status_;
    std::array<ToneStepper, 3> steppers_{};

    // The sweep's optional requests (SweepPart bits); set before the link
    // starts, read by the receiver thread.
    std::atomic<unsigned> sweepParts_{kSweepEverything};

    // Status records asked for and not yet sent (kReread* bits); set on any
    // thread, taken by the re-read timer on the user-interface thread.
    std::atomic<unsigned> rereadParts_{0};
    std::atomic<unsigned> rereadInFlight_{0}; // asked for, not answered yet
    // An Outcome: how the last waiting SetSysParams ended.
    std::atomic<int> paramWrite_{static_cast<int>(Outcome::Pending)};
};

} // namespace bm
