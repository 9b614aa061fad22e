// The simulated unit's protocol engine fed bytes directly: its tables, its
// framing, its answer to every command the program sends, its remote keys,
// its restart and its front-panel reports.
#include "sim/simulated_unit.h"
#include "sim/unit_data.h"
#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace bm::sim {
namespace {

using test::Bytes;
using test::hostPacket;
using test::Parsed;

const char* const kWellKnown[37] = {
    "PROGRAM",        "MUTE",           "VOLUME",          "LR_BALANCE",      "INPUT",
    "RECORD_ENABLED", "Z2_VOL",         "Z2_BAL",          "Z2_MUTE",         "BASS",
    "TREBLE",         "LOUDNESS",       "TILT",            "MENU_BKGND",      "OUT_ADJ_CENTER",
    "OUT_ADJ_SUB",    "OUT_ADJ_FRONT_L", "OUT_ADJ_FRONT_R", "OUT_ADJ_SIDE_L", "OUT_ADJ_SIDE_R",
    "OUT_ADJ_REAR_L", "OUT_ADJ_REAR_R", "FRONT_SPKR",      "FRONT_HPASS_SMALL", "FRONT_HPASS",
    "CENTER_SPKR",    "BSPLIT_SMALL",   "BSPLIT",          "SIDE_SPKR",       "SIDE_STD_HPASS",
    "SIDE_DIPOLE_HPASS", "SIDE_HPASS",  "REAR_SPKR",       "REAR_SMALL_HPASS", "REAR_HPASS",
    "SUBWOOFER",      "SUB_LOWPASS",
};

std::vector<Parsed> packetsOf(const Emissions& out)
{
    Bytes stream;
    for (const auto& e : out)
        stream.insert(stream.end(), e.bytes.begin(), e.bytes.end());
    return test::takePackets(stream);
}

class Unit : public ::testing::Test {
protected:
    SimulatedUnit unit{Model::DE1, Firmware::A};

    std::vector<Parsed> send(const Bytes& bytes) { return packetsOf(unit.receive(bytes.data(), bytes.size())); }
    std::vector<Parsed> send(std::uint8_t code, std::initializer_list<std::uint8_t> data = {})
    {
        return send(hostPacket(code, data));
    }
    std::uint8_t id(const char* name) const { return static_cast<std::uint8_t>(unit.paramId(name)); }
    std::uint8_t value(const char* name) const { return unit.paramValue(name); }
    std::uint8_t total() const { return static_cast<std::uint8_t>(unit.snapshot().paramNames.size()); }
    Parsed change(const char* name, std::uint8_t v) const { return {DC_PARAM_CHG_MSG, {id(name), v}}; }
};

const Parsed kAckIr{DC_ACK, {DC_CMD_IR}};

// ------------------------------------------------------------------ tables

TEST(UnitData, BothFirmwaresCarryEveryWellKnownParameterWithSaneValues)
{
    for (Model model : {Model::DE1, Model::ZA2}) {
        for (Firmware fw : {Firmware::A, Firmware::B}) {
            const UnitData d = factoryData(model, fw);
            SCOPED_TRACE(std::string(model == Model::DE1 ? "DE1 " : "ZA2 ") + (fw == Firmware::A ? "A" : "B"));
            EXPECT_EQ(d.config[0], model == Model::DE1 ? 2 : 1);
            EXPECT_EQ(d.config[7], d.params.size());
            EXPECT_EQ(d.config[8], d.effects.size());
            EXPECT_GE(d.params.size(), 180u);
            EXPECT_LE(d.params.size(), 252u);
            EXPECT_GE(d.effects.size(), 20u);
            EXPECT_LE(d.effects.size(), 32u);

            std::set<std::string> names;
            for (const auto& p : d.params) {
                EXPECT_TRUE(names.insert(p.name).second) << "duplicate " << p.name;
                EXPECT_FALSE(p.name.empty());
                EXPECT_LE(p.name.size(), 20u) << p.name;
                EXPECT_LE(p.value, p.max) << p.name;
            }
            for (const char* name : kWellKnown) {
                const auto it = std::find_if(d.params.begin(), d.params.end(),
                                             [&](const ParamSpec& p) { return p.name == name; });
                ASSERT_NE(it, d.params.end()) << name;
                EXPECT_NE(it, d.params.begin()) << name << " must not be id 0";
            }
            for (const auto& e : d.effects) {
                EXPECT_FALSE(e.name.empty());
                EXPECT_LE(e.name.size(), 13u) << e.name;
                EXPECT_FALSE(e.params.empty());
                EXPECT_LE(e.params.size() + 1, 252u);
            }
            for (const auto& n : d.inputNames)
                EXPECT_LE(n.size(), 8u) << n;
            EXPECT_LE(d.customName.size(), 20u);
            EXPECT_NE(std::find(d.inputNames.begin(), d.inputNames.end(), "DVD     "), d.inputNames.end());
            EXPECT_NE(std::find(d.inputNames.begin(), d.inputNames.end(), "SAT TV  "), d.inputNames.end());
        }
    }
    EXPECT_EQ(factoryData(Model::DE1, Firmware::A).params.size(), 192u);
    EXPECT_EQ(factoryData(Model::DE1, Firmware::B).params.size(), 188u);
}

TEST(UnitData, FirmwaresDifferInTimestampAndParameterIds)
{
    SimulatedUnit a(Model::DE1, Firmware::A);
    SimulatedUnit b(Model::DE1, Firmware::B);
    const auto ca = a.snapshot().unitConfig;
    const auto cb = b.snapshot().unitConfig;
    const std::string stampA(reinterpret_cast<const char*>(ca.data() + 9), 16);
    const std::string stampB(reinterpret_cast<const char*>(cb.data() + 9), 16);
    EXPECT_NE(stampA, stampB);
    EXPECT_EQ(stampA, std::string("99/03/09 18:34\0\0", 16)); // NUL-padded text
    for (const char* name : {"BASS", "VOLUME", "FRONT_SPKR", "SUB_LOWPASS"})
        EXPECT_NE(a.paramId(name), b.paramId(name)) << name;
}

TEST(UnitData, FactoryValuesMatchTheProgramsRangesAndSpeakerEncodings)
{
    SimulatedUnit u(Model::ZA2, Firmware::B);
    const auto s = u.snapshot();
    auto maxOf = [&](const char* n) { return s.paramMax[static_cast<std::size_t>(u.paramId(n))]; };
    EXPECT_EQ(maxOf("VOLUME"), 92);
    EXPECT_EQ(maxOf("Z2_VOL"), 92);
    EXPECT_EQ(maxOf("LR_BALANCE"), 32);
    EXPECT_EQ(u.paramValue("LR_BALANCE"), 16);
    EXPECT_EQ(maxOf("BASS"), 24);
    EXPECT_EQ(u.paramValue("TREBLE"), 12);
    EXPECT_EQ(maxOf("TILT"), 30);
    EXPECT_EQ(u.paramValue("TILT"), 15);
    EXPECT_EQ(maxOf("OUT_ADJ_REAR_R"), 40);
    EXPECT_EQ(u.paramValue("OUT_ADJ_SUB"), 20);
    EXPECT_EQ(maxOf("INPUT"), 7);
    EXPECT_EQ(maxOf("LOUDNESS"), 1);
    EXPECT_EQ(maxOf("RECORD_ENABLED"), 1);
    EXPECT_LT(u.paramValue("PROGRAM"), s.effectNames.size());
    EXPECT_EQ(maxOf("PROGRAM"), s.effectNames.size() - 1);
    // Small fronts at 80 Hz, small center at 80 Hz, standard small sides and
    // rears at 80 Hz, subwoofer at 80 Hz: each a valid choice of its table.
    EXPECT_EQ(u.paramValue("FRONT_SPKR"), 1);
    EXPECT_EQ(u.paramValue("FRONT_HPASS"), 2);
    EXPECT_EQ(u.paramValue("CENTER_SPKR"), 1);
    EXPECT_EQ(u.paramValue("BSPLIT_SMALL"), 1);
    EXPECT_EQ(u.paramValue("BSPLIT"), 3);
    EXPECT_EQ(u.paramValue("SIDE_SPKR"), 3);
    EXPECT_EQ(u.paramValue("SIDE_HPASS"), 2);
    EXPECT_EQ(u.paramValue("SIDE_STD_HPASS"), 1);
    EXPECT_EQ(u.paramValue("SIDE_DIPOLE_HPASS"), 0);
    EXPECT_EQ(u.paramValue("REAR_SPKR"), 1);
    EXPECT_EQ(u.paramValue("REAR_HPASS"), 2);
    EXPECT_EQ(u.paramValue("SUBWOOFER"), 1);
    EXPECT_EQ(u.paramValue("SUB_LOWPASS"), 2);
    // Dipole sides at 40 Hz and large everything must fit the maxima.
    EXPECT_GE(maxOf("SIDE_SPKR"), 4);
    EXPECT_GE(maxOf("SIDE_DIPOLE_HPASS"), 2);
    EXPECT_GE(maxOf("BSPLIT"), 4);
    EXPECT_GE(maxOf("CENTER_SPKR"), 2);
    EXPECT_GE(maxOf("REAR_SPKR"), 2);
    EXPECT_GE(maxOf("SUB_LOWPASS"), 3);
}

// ------------------------------------------------------------------ framing

TEST_F(Unit, FramesByTheCountByteWholeSplitByteByByteAndAfterNoise)
{
    const Bytes get = hostPacket(DC_CMD_GET_CONFIG);
    EXPECT_EQ(send(get).size(), 1u);

    EXPECT_TRUE(send(Bytes(get.begin(), get.begin() + 3)).empty());
    EXPECT_TRUE(unit.hasPartialPacket());
    auto rest = send(Bytes(get.begin() + 3, get.end()));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].code, DC_RESP_UNIT_CONFIG);

    std::vector<Parsed> got;
    for (auto b : get) {
        auto r = send(Bytes{b});
        got.insert(got.end(), r.begin(), r.end());
    }
    ASSERT_EQ(got.size(), 1u);

    Bytes noisy = {0x00, 0xF2, 0x55};
    noisy.insert(noisy.end(), get.begin(), get.end());
    got = send(noisy);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, DC_RESP_UNIT_CONFIG);

    // Two packets in one read, answered in order.
    Bytes two = hostPacket(DC_CMD_GET_SYS_STATUS);
    const Bytes second = hostPacket(DC_CMD_GET_REC_STATUS);
    two.insert(two.end(), second.begin(), second.end());
    got = send(two);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, DC_RESP_SYS_STATUS);
    EXPECT_EQ(got[1].code, DC_RESP_REC_ZONE2_STATUS);
    EXPECT_EQ(unit.receivedPackets().size(), 6u);
}

TEST_F(Unit, InvalidPacketsAreRefusedAsInvalid)
{
    // L does not match the count.
    auto got = send(Bytes{0xF1, 0x03, 0x16, 0x01, 0xF2});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {0x16, DC_ERR_INVALID_PACKET}}));
    // A count of 0 makes a two-byte packet.
    got = send(Bytes{0xF1, 0x00});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {0x00, DC_ERR_INVALID_PACKET}}));
    // Wrong end byte.
    got = send(Bytes{0xF1, 0x03, 0x15, 0x00, 0xF3});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {0x15, DC_ERR_INVALID_PACKET}}));
    EXPECT_TRUE(unit.receivedPackets().empty());
    EXPECT_EQ(unit.packetsRead(), 3u);
    // Framing goes on after them.
    EXPECT_EQ(send(DC_CMD_GET_CONFIG).size(), 1u);
}

TEST_F(Unit, StalledPacketStartIsGivenUpAndTheRestRescanned)
{
    Bytes stray = {0xF1, 0x40};
    const Bytes get = hostPacket(DC_CMD_GET_CONFIG);
    stray.insert(stray.end(), get.begin(), get.end());
    EXPECT_TRUE(send(stray).empty());
    auto got = packetsOf(unit.abandonPartial());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, DC_RESP_UNIT_CONFIG);
    EXPECT_FALSE(unit.hasPartialPacket());
}

TEST_F(Unit, DataBytesF1AndF2DoNotBreakFraming)
{
    auto got = send(DC_CMD_GET_SYS_PARAM_BY_ID, {0xF2});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_SYS_PARAM_BY_ID, DC_INVALID_PARAM_ID}}));
    got = send(DC_CMD_SET_INPUT_NAME, {2, 0xF1, 0xF2, 'x', 0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_INPUT_NAME}}));
    EXPECT_EQ(unit.snapshot().inputNames[2], "\xF1\xF2x");
}

// ------------------------------------------------------------------ answers

TEST_F(Unit, StatusAndConfigurationAnswersAreConsistentWithTheParameters)
{
    auto got = send(DC_CMD_GET_CONFIG);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].data.size(), 25u);
    EXPECT_EQ(got[0].data[0], 2);
    EXPECT_EQ(got[0].data[7], 192);
    EXPECT_EQ(got[0].data[8], 22);

    got = send(DC_CMD_GET_SYS_STATUS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_SYS_STATUS,
                              {value("VOLUME"), value("INPUT"), value("PROGRAM"), 2, 6, value("MUTE"), 0,
                               value("LR_BALANCE"), value("FB_BALANCE")}}));
    EXPECT_EQ(got[0].data[1], 6); // DVD, 48K AC3 5.1

    got = send(DC_CMD_GET_REC_STATUS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_REC_ZONE2_STATUS,
                              {value("Z2_VOL"), value("REC_INPUT"), value("Z2_MUTE"), 0, value("Z2_BAL")}}));
}

TEST_F(Unit, ParameterDefinitionsAndValues)
{
    const auto snap = unit.snapshot();
    for (std::uint8_t i : {std::uint8_t(0), id("BASS"), std::uint8_t(total() - 1)}) {
        auto got = send(DC_CMD_GET_SYS_PARAM_BY_ID, {i});
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].code, DC_RESP_SYS_PARAM_DEF);
        ASSERT_GE(got[0].data.size(), 4u);
        EXPECT_EQ(got[0].data[0], i);
        EXPECT_EQ(got[0].data[1], snap.paramMax[i]);
        EXPECT_EQ(got[0].data[2], snap.paramValues[i]);
        EXPECT_EQ(std::string(got[0].data.begin() + 3, got[0].data.end()), snap.paramNames[i] + '\0');
    }
    auto got = send(DC_CMD_GET_SYS_PARAM_BY_ID, {total()});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_SYS_PARAM_BY_ID, DC_INVALID_PARAM_ID}}));

    got = send(DC_CMD_GET_SYS_PARAM_VALUES);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_SYS_PARAM_VALUES, snap.paramValues}));
}

TEST_F(Unit, EffectDefinitionsAndValues)
{
    const auto snap = unit.snapshot();
    auto got = send(DC_CMD_GET_EFFECT, {21});
    ASSERT_EQ(got.size(), 1u);
    Bytes def = {21, static_cast<std::uint8_t>(snap.effectParams[21].size())};
    def.insert(def.end(), snap.effectNames[21].begin(), snap.effectNames[21].end());
    def.push_back(0);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_EFFECT_DEF, def}));

    got = send(DC_CMD_GET_EFFECT, {22});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_EFFECT, DC_INVALID_EFFECT_ID}}));

    got = send(DC_CMD_GET_EFFECT_PARAM_VALUES, {5});
    ASSERT_EQ(got.size(), 1u);
    Bytes values = {5};
    values.insert(values.end(), snap.effectParams[5].begin(), snap.effectParams[5].end());
    EXPECT_EQ(got[0], (Parsed{DC_RESP_EFFECT_PARAM_VALUES, values}));

    got = send(DC_CMD_GET_EFFECT_PARAM_VALUES, {40});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_EFFECT_PARAM_VALUES, DC_INVALID_EFFECT_ID}}));
}

TEST_F(Unit, NamesAreReadAndWritten)
{
    auto got = send(DC_CMD_GET_INPUT_NAME, {6});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_INPUT_NAME, {6, 'D', 'V', 'D', ' ', ' ', ' ', ' ', ' ', 0}}));
    got = send(DC_CMD_GET_INPUT_NAME, {8});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_INPUT_NAME, DC_INVALID_INPUT}}));

    // A name is stored up to its NUL, cut to 8 characters.
    got = send(DC_CMD_SET_INPUT_NAME, {3, 'G', 'A', 'M', 'E', 'C', 'U', 'B', 'E', 'S', 0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_INPUT_NAME}}));
    EXPECT_EQ(unit.snapshot().inputNames[3], "GAMECUBE");
    got = send(DC_CMD_GET_INPUT_NAME, {3});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, (Bytes{3, 'G', 'A', 'M', 'E', 'C', 'U', 'B', 'E', 0}));
    got = send(DC_CMD_SET_INPUT_NAME, {9, 'X', 0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_INPUT_NAME, DC_INVALID_INPUT}}));

    got = send(DC_CMD_SET_CUST_NAME, {1, 'D', 'e', 'n', 0, 'x'});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_CUST_NAME}}));
    EXPECT_EQ(unit.snapshot().customName, "Den");
    EXPECT_TRUE(unit.snapshot().customNameShown);
    got = send(DC_CMD_GET_CUST_NAME);
    ASSERT_EQ(got.size(), 1u);
    Bytes expected(21, 0);
    expected[0] = 'D';
    expected[1] = 'e';
    expected[2] = 'n';
    EXPECT_EQ(got[0], (Parsed{DC_RESP_CUST_NAME, expected}));
    got = send(DC_CMD_SET_CUST_NAME, {0, 0});
    EXPECT_EQ(unit.snapshot().customName, "");
    EXPECT_FALSE(unit.snapshot().customNameShown);
}

TEST_F(Unit, UnknownCommandsAndWrongCountsAreRefused)
{
    for (std::uint8_t code : {std::uint8_t(0x05), std::uint8_t(DC_CMD_GET_SYS_PARAM_BY_NAME),
                              std::uint8_t(DC_CMD_RESET), std::uint8_t(DC_RESP_UNIT_CONFIG)}) {
        auto got = send(code);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], (Parsed{DC_NAK, {code, DC_INVALID_CMD}}));
    }
    auto got = send(DC_CMD_GET_CONFIG, {1});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_CONFIG, DC_INVALID_COUNT}}));
    got = send(DC_CMD_SET_OUTPUT_ADJ, {20});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_OUTPUT_ADJ, DC_INVALID_COUNT}}));
}

TEST_F(Unit, HostGreetingAndHousekeepingCommandsAreAcknowledged)
{
    for (std::uint8_t code : {std::uint8_t(HOST_WAKEUP), std::uint8_t(HOST_SLEEP)}) {
        auto got = send(code);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], (Parsed{DC_ACK, {code}}));
    }
}

TEST_F(Unit, ClearingTheRecordInputHandsZoneTwoBackToTheMainInput)
{
    ASSERT_EQ(value("REC_INPUT"), 2);
    ASSERT_EQ(value("INPUT"), 6);
    // Another input than the record input: acknowledged, nothing changes.
    auto got = send(DC_CMD_CLEAR_REC_INPUT, {5});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_CLEAR_REC_INPUT}}));
    got = send(DC_CMD_CLEAR_REC_INPUT, {2});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_CLEAR_REC_INPUT}}));
    EXPECT_EQ(got[1], change("REC_INPUT", 6));
    EXPECT_EQ(unit.snapshot().zone2Status[1], 6);
    EXPECT_EQ(send(DC_CMD_CLEAR_REC_INPUT, {9}).at(0), (Parsed{DC_NAK, {DC_CMD_CLEAR_REC_INPUT, DC_INVALID_INPUT}}));
}

TEST_F(Unit, VarietyReportsOnlyChangesRefusesLongNamesAndFillsNameFields)
{
    unit.setReportChangesOnly(true);
    for (int i = 0; i < 12; ++i)
        send(DC_CMD_IR, {BASS_UP});
    ASSERT_EQ(value("BASS"), 24);
    EXPECT_EQ(send(DC_CMD_IR, {BASS_UP}), std::vector<Parsed>{kAckIr}) << "nothing changed, nothing reported";
    EXPECT_EQ(send(DC_CMD_IR, {INPUT_DVD}), std::vector<Parsed>{kAckIr});
    EXPECT_EQ(send(DC_CMD_IR, {BASS_DOWN}).at(1), change("BASS", 23));

    unit.setRefuseLongNames(true);
    auto got = send(DC_CMD_SET_INPUT_NAME, {3, 'G', 'A', 'M', 'E', 'C', 'U', 'B', 'E', 'S', 0});
    EXPECT_EQ(got.at(0), (Parsed{DC_NAK, {DC_CMD_SET_INPUT_NAME, DC_INVALID_NAME}}));
    EXPECT_EQ(unit.snapshot().inputNames[3], "AUX");
    got = send(hostPacket(DC_CMD_SET_CUST_NAME, Bytes{0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L',
                                                      'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 0}));
    EXPECT_EQ(got.at(0), (Parsed{DC_NAK, {DC_CMD_SET_CUST_NAME, DC_INVALID_NAME}}));
    EXPECT_EQ(unit.snapshot().customName, "Screening Room");

    unit.setFullWidthNames(true);
    got = send(DC_CMD_GET_INPUT_NAME, {4});
    EXPECT_EQ(got.at(0), (Parsed{DC_RESP_INPUT_NAME, {4, 'S', 'A', 'T', ' ', 'T', 'V', ' ', ' '}}));
    got = send(DC_CMD_GET_CUST_NAME);
    EXPECT_EQ(got.at(0), (Parsed{DC_RESP_CUST_NAME, Bytes{'S', 'c', 'r', 'e', 'e', 'n', 'i', 'n', 'g', ' ',
                                                          'R', 'o', 'o', 'm', ' ', ' ', ' ', ' ', ' ', ' '}}));
}

TEST(UnitData, AUnitCanHaveMoreEffectsAndParametersThanAFrameOrTheTableHolds)
{
    SimulatedUnit big(Model::DE1, Firmware::A, 40, 254);
    const UnitSnapshot snap = big.snapshot();
    EXPECT_EQ(snap.unitConfig[7], 254);
    EXPECT_EQ(snap.unitConfig[8], 40);
    ASSERT_EQ(snap.paramNames.size(), 254u);
    ASSERT_EQ(snap.effectNames.size(), 40u);
    EXPECT_EQ(snap.paramMax[static_cast<std::size_t>(big.paramId("PROGRAM"))], 39);
    EXPECT_EQ(big.paramValue("VOLUME"), factoryData(Model::DE1, Firmware::A).params[3].value);
    EXPECT_LE(snap.paramValues[253], snap.paramMax[253]);
}

TEST_F(Unit, NakFaultRefusesOneCommandAndStillRecordsIt)
{
    unit.setNakCommand(DC_CMD_GET_SYS_STATUS, DC_ERR_BUFFER_FULL);
    auto got = send(DC_CMD_GET_SYS_STATUS);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_GET_SYS_STATUS, DC_ERR_BUFFER_FULL}}));
    EXPECT_EQ(send(DC_CMD_GET_REC_STATUS).at(0).code, DC_RESP_REC_ZONE2_STATUS);
    EXPECT_EQ(unit.receivedPackets().size(), 2u);
    unit.setNakCommand(-1);
    EXPECT_EQ(send(DC_CMD_GET_SYS_STATUS).at(0).code, DC_RESP_SYS_STATUS);
}

// ------------------------------------------------------------------ direct controls

TEST_F(Unit, LevelCommandsAcknowledgeAndReportOnlyRealChanges)
{
    auto got = send(DC_CMD_SET_SYS_VOLUME, {50});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_SYS_VOLUME}}));
    EXPECT_EQ(got[1], change("VOLUME", 50));
    EXPECT_EQ(unit.snapshot().sysStatus[0], 50);

    got = send(DC_CMD_SET_SYS_VOLUME, {50});
    ASSERT_EQ(got.size(), 1u) << "no change, no report";

    got = send(DC_CMD_SET_SYS_VOLUME, {93});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_SYS_VOLUME, DC_INVALID_DATA}}));
    EXPECT_EQ(value("VOLUME"), 50);

    struct Case {
        std::uint8_t code;
        const char* param;
        std::uint8_t v;
        std::size_t statusByte; // in the system (< 9) or zone 2 status (+ 100)
    };
    for (const Case& c : {Case{DC_CMD_SET_SYS_BALANCE, "LR_BALANCE", 20, 7},
                          Case{DC_CMD_SET_FRONT_BACK_BALANCE, "FB_BALANCE", 10, 8},
                          Case{DC_CMD_SET_MUTE, "MUTE", 1, 5},
                          Case{DC_CMD_SET_ZONE2_VOLUME, "Z2_VOL", 70, 100},
                          Case{DC_CMD_SET_ZONE2_BALANCE, "Z2_BAL", 0, 104}}) {
        SCOPED_TRACE(c.param);
        got = send(c.code, {c.v});
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], (Parsed{DC_ACK, {c.code}}));
        EXPECT_EQ(got[1], change(c.param, c.v));
        const auto s = unit.snapshot();
        EXPECT_EQ(c.statusByte < 100 ? s.sysStatus[c.statusByte] : s.zone2Status[c.statusByte - 100], c.v);
    }
    got = send(DC_CMD_SET_MUTE, {2});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_MUTE, DC_INVALID_DATA}}));
}

TEST_F(Unit, OutputAdjustAddressesTheEightChannelsInOrder)
{
    const char* channels[8] = {"OUT_ADJ_CENTER", "OUT_ADJ_SUB",    "OUT_ADJ_FRONT_L", "OUT_ADJ_FRONT_R",
                               "OUT_ADJ_SIDE_L", "OUT_ADJ_SIDE_R", "OUT_ADJ_REAR_L",  "OUT_ADJ_REAR_R"};
    for (std::uint8_t ch = 0; ch < 8; ++ch) {
        auto got = send(DC_CMD_SET_OUTPUT_ADJ, {static_cast<std::uint8_t>(21 + ch), ch});
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_OUTPUT_ADJ}}));
        EXPECT_EQ(got[1], change(channels[ch], static_cast<std::uint8_t>(21 + ch)));
    }
    auto got = send(DC_CMD_SET_OUTPUT_ADJ, {20, 8});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_OUTPUT_ADJ, DC_INVALID_DATA}}));
    got = send(DC_CMD_SET_OUTPUT_ADJ, {41, 0});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, DC_NAK);
    EXPECT_EQ(value("OUT_ADJ_CENTER"), 21);
}

// ------------------------------------------------------------------ parameter write and restart

TEST_F(Unit, AcceptedParameterValuesRestartTheUnit)
{
    Bytes values = unit.snapshot().paramValues;
    values[id("VOLUME")] = 30;
    values[id("BASS")] = 24;
    const Emissions out = unit.receive(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values).data(),
                                       values.size() + 5);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(packetsOf({out[0]})[0], (Parsed{DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES}}));
    EXPECT_EQ(packetsOf({out[1]})[0].code, DC_WAKEUP);
    EXPECT_GE(out[1].delayMs, 200) << "the unit takes its time to restart";
    EXPECT_EQ(unit.snapshot().paramValues, values);
    EXPECT_EQ(unit.snapshot().sysStatus[0], 30);

    unit.setNoWakeupAfterRestart(true);
    values[id("VOLUME")] = 31;
    auto got = send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_SET_SYS_PARAM_VALUES}}));
    EXPECT_EQ(value("VOLUME"), 31);
}

TEST_F(Unit, RefusedParameterValuesStoreNothing)
{
    const Bytes before = unit.snapshot().paramValues;
    Bytes values = before;
    values[id("VOLUME")] = 10;
    values[id("TILT")] = 31; // one above its maximum
    auto got = send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_SYS_PARAM_VALUES, DC_INVALID_DATA}}));
    EXPECT_EQ(unit.snapshot().paramValues, before);

    values = before;
    values.pop_back();
    got = send(hostPacket(DC_CMD_SET_SYS_PARAM_VALUES, values));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_NAK, {DC_CMD_SET_SYS_PARAM_VALUES, DC_INVALID_COUNT}}));
    EXPECT_EQ(unit.snapshot().paramValues, before);
}

TEST_F(Unit, RestoreDefaultsResetsValuesAndNamesThenRestarts)
{
    const auto factory = unit.snapshot();
    send(DC_CMD_SET_SYS_VOLUME, {10});
    send(DC_CMD_SET_INPUT_NAME, {0, 'X', 0});
    const Emissions out = unit.receive(hostPacket(DC_CMD_RESTORE_DEFAULTS).data(), 5);
    const auto got = packetsOf(out);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Parsed{DC_ACK, {DC_CMD_RESTORE_DEFAULTS}}));
    EXPECT_EQ(got[1].code, DC_WAKEUP);
    EXPECT_GT(out[1].delayMs, 0);
    EXPECT_EQ(unit.snapshot().paramValues, factory.paramValues);
    EXPECT_EQ(unit.snapshot().inputNames, factory.inputNames);
}

// ------------------------------------------------------------------ remote keys

TEST_F(Unit, ToneKeysStepByOneAndReportEvenAtTheirLimits)
{
    auto got = send(DC_CMD_IR, {BASS_UP});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], kAckIr);
    EXPECT_EQ(got[1], change("BASS", 13));

    EXPECT_EQ(send(DC_CMD_IR, {TREBLE_DOWN}).at(1), change("TREBLE", 11));
    EXPECT_EQ(send(DC_CMD_IR, {TILT_UP}).at(1), change("TILT", 16));
    EXPECT_EQ(send(DC_CMD_IR, {TILT_DOWN}).at(1), change("TILT", 15));
    EXPECT_EQ(send(DC_CMD_IR, {TREBLE_UP}).at(1), change("TREBLE", 12));
    EXPECT_EQ(send(DC_CMD_IR, {BASS_DOWN}).at(1), change("BASS", 12));

    for (int i = 0; i < 12; ++i)
        send(DC_CMD_IR, {BASS_UP});
    ASSERT_EQ(value("BASS"), 24);
    got = send(DC_CMD_IR, {BASS_UP});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], change("BASS", 24)) << "a host stepping toward 25 still hears back";

    for (int i = 0; i < 15; ++i)
        send(DC_CMD_IR, {TILT_DOWN});
    got = send(DC_CMD_IR, {TILT_DOWN});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], change("TILT", 0));
}

TEST_F(Unit, InputEffectAndLoudnessKeysSetTheirParameters)
{
    auto got = send(DC_CMD_IR, {INPUT_CD});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], change("INPUT", 2));
    EXPECT_EQ(unit.snapshot().sysStatus[1], 2);
    EXPECT_EQ(unit.snapshot().sysStatus[4], 2) << "a CD plays PCM";
    EXPECT_EQ(send(DC_CMD_IR, {INPUT_TAPE}).at(1), change("INPUT", 0));
    EXPECT_EQ(send(DC_CMD_IR, {INPUT_VCR}).at(1), change("INPUT", 7));

    const auto names = unit.snapshot().effectNames;
    auto effectId = [&](const char* n) {
        return static_cast<std::uint8_t>(std::find(names.begin(), names.end(), n) - names.begin());
    };
    EXPECT_EQ(send(DC_CMD_IR, {EFFECT_THX}).at(1), change("PROGRAM", effectId("THX Cinema")));
    EXPECT_EQ(unit.snapshot().sysStatus[2], effectId("THX Cinema"));
    EXPECT_EQ(send(DC_CMD_IR, {EFFECT_MUSICSURROUND}).at(1), change("PROGRAM", effectId("Music Surrnd")));
    // Every effect key selects an effect this unit has.
    for (std::uint8_t key : {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4,
                             0xA5, 0xA6, 0xA7}) {
        got = send(DC_CMD_IR, {key});
        ASSERT_EQ(got.size(), 2u) << std::hex << int(key);
        EXPECT_EQ(got[1].data[0], id("PROGRAM"));
    }

    EXPECT_EQ(send(DC_CMD_IR, {LOUDNESS_ON}).at(1), change("LOUDNESS", 1));
    EXPECT_EQ(send(DC_CMD_IR, {LOUDNESS_ON}).at(1), change("LOUDNESS", 1));
    EXPECT_EQ(send(DC_CMD_IR, {LOUDNESS_OFF}).at(1), change("LOUDNESS", 0));

    got = send(DC_CMD_IR, {0x77}); // a key the unit does not know
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], kAckIr);
}

TEST_F(Unit, ZoneTwoKeysSetSourceMuteAndRecord)
{
    auto got = send(DC_CMD_IR, {0x52});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], change("REC_INPUT", 6));
    EXPECT_EQ(unit.snapshot().zone2Status[1], 6);
    EXPECT_EQ(send(DC_CMD_IR, {0x4C}).at(1), change("REC_INPUT", 0));

    EXPECT_EQ(send(DC_CMD_IR, {0x55}).at(1), change("Z2_MUTE", 1));
    EXPECT_EQ(unit.snapshot().zone2Status[2], 1);
    EXPECT_EQ(send(DC_CMD_IR, {0x55}).at(1), change("Z2_MUTE", 0));

    EXPECT_EQ(send(DC_CMD_IR, {0x59}).at(1), change("RECORD_ENABLED", 0));
    EXPECT_EQ(send(DC_CMD_IR, {0x58}).at(1), change("RECORD_ENABLED", 1));
}

TEST_F(Unit, OffAndOnKeysPutTheUnitToSleepAndWakeIt)
{
    auto got = send(DC_CMD_IR, {IR_OFF});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], kAckIr);
    EXPECT_EQ(got[1], (Parsed{DC_SLEEP, {}}));
    EXPECT_TRUE(unit.asleep());
    EXPECT_EQ(unit.snapshot().sysStatus[1], 8) << "no input while asleep";
    EXPECT_EQ(unit.snapshot().sysStatus[2], 32) << "no effect while asleep";
    EXPECT_EQ(send(DC_CMD_IR, {IR_OFF}).size(), 1u) << "already asleep";
    EXPECT_EQ(send(DC_CMD_GET_CONFIG).size(), 1u) << "the serial port still answers";

    got = send(DC_CMD_IR, {IR_ON});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (Parsed{DC_WAKEUP, {}}));
    EXPECT_FALSE(unit.asleep());
    EXPECT_EQ(unit.snapshot().sysStatus[1], value("INPUT"));
}

// ------------------------------------------------------------------ front panel

std::string line(const Parsed& fpd, int n)
{
    const auto begin = fpd.data.begin() + 21 * n;
    return std::string(begin, std::find(begin, begin + 21, 0));
}

TEST_F(Unit, FrontPanelReportsFollowTheDisplayWhileSwitchedOn)
{
    EXPECT_EQ(send(DC_CMD_SET_SYS_VOLUME, {44}).size(), 2u) << "no display report while off";

    auto got = send(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_FPD_CTRL_STATUS, {0xFF, 0xFF, 0xFF, 0xC8}}));
    ASSERT_EQ(got[1].code, DC_FPD);
    ASSERT_EQ(got[1].data.size(), 42u);
    EXPECT_EQ(line(got[1], 0), "DVD        VOL -36dB");
    EXPECT_EQ(line(got[1], 1), "Logic 7      AC3 5.1");
    EXPECT_TRUE(unit.snapshot().frontPanelReporting);

    got = send(DC_CMD_SET_SYS_VOLUME, {45});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], change("VOLUME", 45));
    EXPECT_EQ(line(got[2], 0), "DVD        VOL -35dB");

    got = send(DC_CMD_SET_MUTE, {1});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(line(got[2], 0), "DVD            MUTED");

    got = send(DC_CMD_IR, {INPUT_TV});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(line(got[2], 0), "SAT TV         MUTED");

    // A change the display does not show sends no display report.
    EXPECT_EQ(send(DC_CMD_SET_OUTPUT_ADJ, {25, 1}).size(), 2u);

    got = send(DC_CMD_IR, {IR_OFF});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(line(got[2], 0), "") << "the display goes dark";

    got = send(DC_CMD_SET_FPD_CTRL, {0x00, 0x00, 0x00, 0x32});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Parsed{DC_RESP_FPD_CTRL_STATUS, {0x00, 0x00, 0x00, 0x32}}));
    EXPECT_FALSE(unit.snapshot().frontPanelReporting);
    got = send(DC_CMD_IR, {IR_ON});
    EXPECT_EQ(got.size(), 2u) << "no display report after reporting was switched off";
    got = send(DC_CMD_SET_SYS_VOLUME, {60});
    EXPECT_EQ(got.size(), 2u);
}

// ------------------------------------------------------------------ console

TEST_F(Unit, ConsoleActsAsFrontPanelAndRemote)
{
    send(DC_CMD_SET_FPD_CTRL, {0xFF, 0xFF, 0xFF, 0xC8});
    Emissions out;
    std::string error;
    ASSERT_TRUE(unit.console("set VOLUME 60", out, &error)) << error;
    auto got = packetsOf(out);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], change("VOLUME", 60));
    EXPECT_EQ(line(got[1], 0), "DVD        VOL -20dB");

    out.clear();
    ASSERT_TRUE(unit.console("ir BASS_UP", out, &error)) << error;
    got = packetsOf(out);
    ASSERT_EQ(got.size(), 1u) << "a key pressed on the remote is not acknowledged to the host";
    EXPECT_EQ(got[0], change("BASS", 13));
    out.clear();
    ASSERT_TRUE(unit.console("ir 0x93", out, &error)) << error;
    EXPECT_EQ(packetsOf(out).at(0), change("BASS", 14));

    out.clear();
    ASSERT_TRUE(unit.console("display \"HELLO THERE\" \"second\"", out, &error)) << error;
    got = packetsOf(out);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(line(got[0], 0), "HELLO THERE         ");
    EXPECT_EQ(line(got[0], 1), "second              ");

    out.clear();
    ASSERT_TRUE(unit.console("sleep", out, &error));
    EXPECT_EQ(packetsOf(out).at(0).code, DC_SLEEP);
    out.clear();
    ASSERT_TRUE(unit.console("wake", out, &error));
    EXPECT_EQ(packetsOf(out).at(0).code, DC_WAKEUP);

    out.clear();
    EXPECT_TRUE(unit.console("", out, &error));
    EXPECT_TRUE(unit.console("help", out, &error));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(unit.console("set NO_SUCH 1", out, &error));
    EXPECT_NE(error.find("NO_SUCH"), std::string::npos);
    EXPECT_FALSE(unit.console("set VOLUME 93", out, &error));
    EXPECT_FALSE(unit.console("set VOLUME loud", out, &error));
    EXPECT_FALSE(unit.console("ir NO_KEY", out, &error));
    EXPECT_FALSE(unit.console("dance", out, &error));
    EXPECT_FALSE(unit.console("display \"unclosed", out, &error));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(value("VOLUME"), 60);
}

} // namespace
} // namespace bm::sim
