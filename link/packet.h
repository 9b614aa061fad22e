// The processor's host protocol: packet layout, the code tables and the names
// used in the trace. Knows bytes only, never ports.
//   F1, N = L + 3, code, L, L data bytes, F2   (no checksum, no escaping)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace bm {

inline constexpr std::uint8_t kPacketStart = 0xF1;
inline constexpr std::uint8_t kPacketEnd = 0xF2;
inline constexpr std::size_t kMaxDataLength = 252;           // N is one byte
inline constexpr std::size_t kMaxPacketLength = kMaxDataLength + 5;

enum PacketCode : std::uint8_t {
    DC_NO_CMD = 0x00,
    DC_WAKEUP = 0x01,
    DC_SLEEP = 0x02,
    DC_FPD = 0x03,
    DC_PARAM_CHG_MSG = 0x04,
    DC_PEEK = 0x08,
    DC_POKE = 0x09,
    DC_CMD_RESET = 0x10,
    HOST_WAKEUP = 0x11,
    HOST_SLEEP = 0x12,
    DC_CMD_RESTORE_DEFAULTS = 0x13,
    DC_CMD_IR = 0x14,
    DC_CMD_GET_CONFIG = 0x15,
    DC_CMD_GET_SYS_STATUS = 0x16,
    DC_CMD_GET_REC_STATUS = 0x17,
    DC_CMD_GET_SYS_PARAM_BY_ID = 0x18,
    DC_CMD_GET_SYS_PARAM_BY_NAME = 0x19,
    DC_CMD_GET_SYS_PARAM_VALUES = 0x1A,
    DC_CMD_GET_EFFECT = 0x1B,
    DC_CMD_GET_EFFECT_PARAM_DEF = 0x1C,
    DC_CMD_GET_EFFECT_PARAM_VALUES = 0x1D,
    DC_CMD_SET_SYS_PARAM_VALUES = 0x1E,
    DC_CMD_SET_EFFECT_PARAM_VALUES = 0x1F,
    DC_CMD_SET_EFFECT_NAME = 0x20,
    DC_CMD_SET_SYS_VOLUME = 0x21,
    DC_CMD_SET_SYS_BALANCE = 0x22,
    DC_CMD_SET_FRONT_BACK_BALANCE = 0x23,
    DC_CMD_SET_EFFECT = 0x24,
    DC_CMD_SET_REC_INPUT = 0x25,
    DC_CMD_CLEAR_REC_INPUT = 0x26,
    DC_CMD_SET_ZONE2_VOLUME = 0x27,
    DC_CMD_SET_ZONE2_BALANCE = 0x28,
    DC_CMD_GET_FPD_CTRL = 0x29,
    DC_CMD_SET_FPD_CTRL = 0x2A,
    DC_CMD_GET_CUST_NAME = 0x2B,
    DC_CMD_SET_CUST_NAME = 0x2C,
    DC_CMD_GET_INPUT_NAME = 0x2D,
    DC_CMD_SET_INPUT_NAME = 0x2E,
    DC_CMD_GET_COM_CONFIG = 0x2F,
    DC_CMD_SET_COM_CONFIG = 0x30,
    DC_CMD_SET_MUTE = 0x31,
    DC_CMD_SET_OUTPUT_ADJ = 0x32,
    DC_CMD_SET_DISPLAY_STR = 0x33,
    DC_DEBUG_STRING = 0x40,
    DC_DEBUG_CHAR = 0x41,
    DC_RESP_UNIT_CONFIG = 0x80,
    DC_RESP_SYS_STATUS = 0x81,
    DC_RESP_REC_ZONE2_STATUS = 0x82,
    DC_RESP_SYS_PARAM_DEF = 0x83,
    DC_RESP_SYS_PARAM_VALUES = 0x84,
    DC_RESP_EFFECT_DEF = 0x85,
    DC_RESP_EFFECT_PARAM_DEF = 0x86,
    DC_RESP_EFFECT_PARAM_VALUES = 0x87,
    DC_RESP_FPD_CTRL_STATUS = 0x88,
    DC_RESP_CUST_NAME = 0x89,
    DC_RESP_INPUT_NAME = 0x8A,
    DC_RESP_PEEK_VALUE = 0x8B,
    DC_RESP_COM_CONFIG = 0x8C,
    DC_ACK = 0xE0,
    DC_NAK = 0xE1,
};

// Error codes carried in byte 1 of a DC_NAK.
enum NakError : std::uint8_t {
    NO_ACK = 0x00,
    DC_NO_ERROR = 0x01,
    DC_ERR_PARITY = 0x02,
    DC_ERR_FRAMING = 0x03,
    DC_ERR_OVERRUN = 0x04,
    DC_ERR_INVALID_PACKET = 0x05,
    DC_ERR_TIME_OUT = 0x06,
    DC_ERR_BUFFER_FULL = 0x07,
    DC_INVALID_COUNT = 0x10,
    DC_INVALID_CMD = 0x11,
    DC_INVALID_DATA = 0x12,
    DC_INVALID_ADDRESS = 0x13,
    DC_INVALID_EFFECT_ID = 0x14,
    DC_INVALID_PARAM_ID = 0x15,
    DC_INVALID_NAME = 0x16,
    DC_INVALID_INPUT = 0x17,
};

// IR key codes (data byte of DC_CMD_IR) that have names.
enum IrKey : std::uint8_t {
    INPUT_TAPE = 0x0C,
    INPUT_TUNER = 0x0D,
    INPUT_CD = 0x0E,
    INPUT_AUX = 0x0F,
    INPUT_TV = 0x10,
    INPUT_VDISC = 0x11,
    INPUT_DVD = 0x12,
    INPUT_VCR = 0x13,
    IR_ON = 0x18,  // "ON"
    IR_OFF = 0x19, // "OFF"
    EFFECT_DOLBY = 0x20,
    EFFECT_THX = 0x21,
    EFFECT_LOGIC7 = 0x22,
    EFFECT_DTS = 0x23,
    EFFECT_2CH = 0x24,
    EFFECT_PARTY = 0x25,
    EFFECT_TVMATRIX = 0x26,
    EFFECT_MUSICLOGIC = 0x27,
    LOUDNESS_OFF = 0x8C,
    TILT_DOWN = 0x8D,
    TREBLE_DOWN = 0x8E,
    BASS_DOWN = 0x8F,
    LOUDNESS_ON = 0x90,
    TILT_UP = 0x91,
    TREBLE_UP = 0x92,
    BASS_UP = 0x93,
    EFFECT_NIGHTCLUB = 0xA0,
    EFFECT_CONCERT = 0xA1,
    EFFECT_CHURCH = 0xA2,
    EFFECT_CATHEDRAL = 0xA3,
    EFFECT_DIGAUDIO = 0xA4,
    EFFECT_PANORAMA = 0xA5,
    EFFECT_MONOLOGIC = 0xA6,
    EFFECT_MUSICSURROUND = 0xA7,
};

// Unnamed IR codes the program sends from the zone 2 page. The eight source
// keys run in input order, Tape (0x4C) to VCR (0x53).
inline constexpr std::uint8_t kIrZone2SourceFirst = 0x4C;
inline constexpr std::uint8_t kIrZone2SourceLast = 0x53;
constexpr std::uint8_t zone2SourceKey(int input)
{
    return static_cast<std::uint8_t>(kIrZone2SourceFirst + input);
}
inline constexpr std::uint8_t kIrZone2MuteToggle = 0x55;
inline constexpr std::uint8_t kIrZone2On = 0x58;
inline constexpr std::uint8_t kIrZone2Off = 0x59;

// A framed packet in a fixed buffer, as every builder lays it out.
struct Packet {
    std::array<std::uint8_t, kMaxPacketLength> bytes{};
    std::uint16_t length = 0;

    std::uint8_t code() const { return length > 2 ? bytes[2] : 0; }
    std::uint8_t dataLength() const { return length > 3 ? bytes[3] : 0; }
    const std::uint8_t* data() const { return bytes.data() + 4; }
};

// Frames `code` with `length` data bytes (cut to kMaxDataLength).
Packet framePacket(std::uint8_t code, const std::uint8_t* data, std::size_t length);
Packet framePacket(std::uint8_t code, std::initializer_list<std::uint8_t> data = {});

// The receiver's validity test: length > 4, F1 first, N = length - 2,
// L = N - 3, F2 last.
bool isValidPacket(const std::uint8_t* packet, std::size_t length);

// Plain name of a code ("UNKNOWN" for codes outside the table).
const char* PacketCodeName(std::uint8_t code);

// The unit's own messages, sent whenever something changes at the unit:
// DC_WAKEUP, DC_SLEEP, DC_FPD and DC_PARAM_CHG_MSG. Everything else it sends
// answers a request.
bool isUnsolicitedCode(std::uint8_t code);
// The response code a request is answered with; 0 when an acknowledgement is.
std::uint8_t responseCodeOf(std::uint8_t request);
// True when `answer` answers a request with code `request`: its response, or
// a DC_ACK or DC_NAK naming it; DC_CMD_SET_FPD_CTRL is answered with
// DC_RESP_FPD_CTRL_STATUS.
bool answersRequest(const Packet& answer, std::uint8_t request);
// Name of a NAK error code ("Unknown" outside the table).
const char* NakErrorName(std::uint8_t error);
// Name of an IR key ("???" for keys without a name).
const char* IrKeyName(std::uint8_t key);
// Display text of a packet for the trace: its name, with the IR key, the
// acknowledged code or the refused code and error where they apply. Only the
// code and the first two data bytes are looked at; a short packet reads zeros.
std::string CommandName(const std::uint8_t* packet, std::size_t length);

} // namespace bm
