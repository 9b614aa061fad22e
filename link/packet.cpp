// Framing, the validity test and the code-to-name tables of the host protocol.
// The tables are data, one row per code, in the order the protocol lists them.
#include "link/packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bm {
namespace {

struct CodeName {
    std::uint8_t code;
    const char* name;
};

#define BM_ROW(x) {x, #x}

constexpr CodeName kPacketCodes[] = {
    BM_ROW(DC_NO_CMD),
    BM_ROW(DC_WAKEUP),
    BM_ROW(DC_SLEEP),
    BM_ROW(DC_FPD),
    BM_ROW(DC_PARAM_CHG_MSG),
    BM_ROW(DC_PEEK),
    BM_ROW(DC_POKE),
    BM_ROW(DC_CMD_RESET),
    BM_ROW(HOST_WAKEUP),
    BM_ROW(HOST_SLEEP),
    BM_ROW(DC_CMD_RESTORE_DEFAULTS),
    BM_ROW(DC_CMD_IR),
    BM_ROW(DC_CMD_GET_CONFIG),
    BM_ROW(DC_CMD_GET_SYS_STATUS),
    BM_ROW(DC_CMD_GET_REC_STATUS),
    BM_ROW(DC_CMD_GET_SYS_PARAM_BY_ID),
    BM_ROW(DC_CMD_GET_SYS_PARAM_BY_NAME),
    BM_ROW(DC_CMD_GET_SYS_PARAM_VALUES),
    BM_ROW(DC_CMD_GET_EFFECT),
    BM_ROW(DC_CMD_GET_EFFECT_PARAM_DEF),
    BM_ROW(DC_CMD_GET_EFFECT_PARAM_VALUES),
    BM_ROW(DC_CMD_SET_SYS_PARAM_VALUES),
    BM_ROW(DC_CMD_SET_EFFECT_PARAM_VALUES),
    BM_ROW(DC_CMD_SET_EFFECT_NAME),
    BM_ROW(DC_CMD_SET_SYS_VOLUME),
    BM_ROW(DC_CMD_SET_SYS_BALANCE),
    BM_ROW(DC_CMD_SET_FRONT_BACK_BALANCE),
    BM_ROW(DC_CMD_SET_EFFECT),
    BM_ROW(DC_CMD_SET_REC_INPUT),
    BM_ROW(DC_CMD_CLEAR_REC_INPUT),
    BM_ROW(DC_CMD_SET_ZONE2_VOLUME),
    BM_ROW(DC_CMD_SET_ZONE2_BALANCE),
    BM_ROW(DC_CMD_GET_FPD_CTRL),
    BM_ROW(DC_CMD_SET_FPD_CTRL),
    BM_ROW(DC_CMD_GET_CUST_NAME),
    BM_ROW(DC_CMD_SET_CUST_NAME),
    BM_ROW(DC_CMD_GET_INPUT_NAME),
    BM_ROW(DC_CMD_SET_INPUT_NAME),
    BM_ROW(DC_CMD_GET_COM_CONFIG),
    BM_ROW(DC_CMD_SET_COM_CONFIG),
    BM_ROW(DC_CMD_SET_MUTE),
    BM_ROW(DC_CMD_SET_OUTPUT_ADJ),
    BM_ROW(DC_CMD_SET_DISPLAY_STR),
    BM_ROW(DC_DEBUG_STRING),
    BM_ROW(DC_DEBUG_CHAR),
    BM_ROW(DC_RESP_UNIT_CONFIG),
    BM_ROW(DC_RESP_SYS_STATUS),
    BM_ROW(DC_RESP_REC_ZONE2_STATUS),
    BM_ROW(DC_RESP_SYS_PARAM_DEF),
    BM_ROW(DC_RESP_SYS_PARAM_VALUES),
    BM_ROW(DC_RESP_EFFECT_DEF),
    BM_ROW(DC_RESP_EFFECT_PARAM_DEF),
    BM_ROW(DC_RESP_EFFECT_PARAM_VALUES),
    BM_ROW(DC_RESP_FPD_CTRL_STATUS),
    BM_ROW(DC_RESP_CUST_NAME),
    BM_ROW(DC_RESP_INPUT_NAME),
    BM_ROW(DC_RESP_PEEK_VALUE),
    BM_ROW(DC_RESP_COM_CONFIG),
    BM_ROW(DC_ACK),
    BM_ROW(DC_NAK),
};

constexpr CodeName kNakErrors[] = {
    BM_ROW(NO_ACK),
    BM_ROW(DC_NO_ERROR),
    BM_ROW(DC_ERR_PARITY),
    BM_ROW(DC_ERR_FRAMING),
    BM_ROW(DC_ERR_OVERRUN),
    BM_ROW(DC_ERR_INVALID_PACKET),
    BM_ROW(DC_ERR_TIME_OUT),
    BM_ROW(DC_ERR_BUFFER_FULL),
    BM_ROW(DC_INVALID_COUNT),
    BM_ROW(DC_INVALID_CMD),
    BM_ROW(DC_INVALID_DATA),
    BM_ROW(DC_INVALID_ADDRESS),
    BM_ROW(DC_INVALID_EFFECT_ID),
    BM_ROW(DC_INVALID_PARAM_ID),
    BM_ROW(DC_INVALID_NAME),
    BM_ROW(DC_INVALID_INPUT),
};

// The two power keys are named plainly by the unit's own key list, not after
// their enumerators.
constexpr CodeName kIrKeys[] = {
    BM_ROW(INPUT_TAPE),
    BM_ROW(INPUT_TUNER),
    BM_ROW(INPUT_CD),
    BM_ROW(INPUT_AUX),
    BM_ROW(INPUT_TV),
    BM_ROW(INPUT_VDISC),
    BM_ROW(INPUT_DVD),
    BM_ROW(INPUT_VCR),
    {IR_ON, "ON"},
    {IR_OFF, "OFF"},
    BM_ROW(EFFECT_DOLBY),
    BM_ROW(EFFECT_THX),
    BM_ROW(EFFECT_LOGIC7),
    BM_ROW(EFFECT_DTS),
    BM_ROW(EFFECT_2CH),
    BM_ROW(EFFECT_PARTY),
    BM_ROW(EFFECT_TVMATRIX),
    BM_ROW(EFFECT_MUSICLOGIC),
    BM_ROW(LOUDNESS_OFF),
    BM_ROW(TILT_DOWN),
    BM_ROW(TREBLE_DOWN),
    BM_ROW(BASS_DOWN),
    BM_ROW(LOUDNESS_ON),
    BM_ROW(TILT_UP),
    BM_ROW(TREBLE_UP),
    BM_ROW(BASS_UP),
    BM_ROW(EFFECT_NIGHTCLUB),
    BM_ROW(EFFECT_CONCERT),
    BM_ROW(EFFECT_CHURCH),
    BM_ROW(EFFECT_CATHEDRAL),
    BM_ROW(EFFECT_DIGAUDIO),
    BM_ROW(EFFECT_PANORAMA),
    BM_ROW(EFFECT_MONOLOGIC),
    BM_ROW(EFFECT_MUSICSURROUND),
};

#undef BM_ROW

template <std::size_t N>
const char* lookup(const CodeName (&table)[N], std::uint8_t code, const char* fallback)
{
    for (const CodeName& row : table)
        if (row.code == code)
            return row.name;
    return fallback;
}

} // namespace

Packet framePacket(std::uint8_t code, const std::uint8_t* data, std::size_t length)
{
    const std::size_t l = std::min(length, kMaxDataLength);
    Packet p;
    p.bytes[0] = kPacketStart;
    p.bytes[1] = static_cast<std::uint8_t>(l + 3);
    p.bytes[2] = code;
    p.bytes[3] = static_cast<std::uint8_t>(l);
    if (l > 0 && data != nullptr)
        std::memcpy(p.bytes.data() + 4, data, l);
    p.bytes[4 + l] = kPacketEnd;
    p.length = static_cast<std::uint16_t>(l + 5);
    return p;
}

Packet framePacket(std::uint8_t code, std::initializer_list<std::uint8_t> data)
{
    return framePacket(code, data.begin(), data.size());
}

bool isValidPacket(const std::uint8_t* packet, std::size_t length)
{
    if (packet == nullptr || length <= 4)
        return false;
    const int n = packet[1];
    return packet[0] == kPacketStart && static_cast<std::size_t>(n) == length - 2 &&
           static_cast<int>(packet[3]) == n - 3 && packet[length - 1] == kPacketEnd;
}

const char* PacketCodeName(std::uint8_t code)
{
    return lookup(kPacketCodes, code, "UNKNOWN");
}

const char* NakErrorName(std::uint8_t error)
{
    return lookup(kNakErrors, error, "Unknown");
}

const char* IrKeyName(std::uint8_t key)
{
    return lookup(kIrKeys, key, "???");
}

std::string CommandName(const std::uint8_t* packet, std::size_t length)
{
    auto at = [&](std::size_t i) -> std::uint8_t {
        return (packet != nullptr && i < length) ? packet[i] : 0;
    };
    // Data bytes beyond the packet's own data length (or its end) read as 0, so
    // the end byte of a one-byte NAK is never taken for an error code.
    const std::size_t dataLength = at(3);
    auto dataByte = [&](std::size_t i) -> std::uint8_t { return i < dataLength ? at(4 + i) : 0; };
    const std::uint8_t code = at(2);
    const std::uint8_t first = dataByte(0);
    const std::uint8_t second = dataByte(1);

    char text[96];
    switch (code) {
    case DC_CMD_IR:
        std::snprintf(text, sizeof text, "DC_CMD_IR (%s)", IrKeyName(first));
        return text;
    case DC_ACK:
    case DC_NAK: {
        const char* self = PacketCodeName(code);
        if (first == DC_CMD_IR) {
            std::snprintf(text, sizeof text, "%s (DC_CMD_IR)", self);
        } else if (first == DC_ACK || first == DC_NAK) {
            return self;
        } else if (code == DC_ACK) {
            std::snprintf(text, sizeof text, "DC_ACK (%s)", PacketCodeName(first));
        } else {
            std::snprintf(text, sizeof text, "DC_NAK (%s - %s)", PacketCodeName(first),
                          NakErrorName(second));
        }
        return text;
    }
    default:
        return PacketCodeName(code);
    }
}

bool isUnsolicitedCode(std::uint8_t code)
{
    return code == DC_WAKEUP || code == DC_SLEEP || code == DC_FPD || code == DC_PARAM_CHG_MSG;
}

std::uint8_t responseCodeOf(std::uint8_t request)
{
    switch (request) {
    case DC_CMD_GET_CONFIG: return DC_RESP_UNIT_CONFIG;
    case DC_CMD_GET_SYS_STATUS: return DC_RESP_SYS_STATUS;
    case DC_CMD_GET_REC_STATUS: return DC_RESP_REC_ZONE2_STATUS;
    case DC_CMD_GET_SYS_PARAM_BY_ID:
    case DC_CMD_GET_SYS_PARAM_BY_NAME: return DC_RESP_SYS_PARAM_DEF;
    case DC_CMD_GET_SYS_PARAM_VALUES: return DC_RESP_SYS_PARAM_VALUES;
    case DC_CMD_GET_EFFECT: return DC_RESP_EFFECT_DEF;
    case DC_CMD_GET_EFFECT_PARAM_DEF: return DC_RESP_EFFECT_PARAM_DEF;
    case DC_CMD_GET_EFFECT_PARAM_VALUES: return DC_RESP_EFFECT_PARAM_VALUES;
    case DC_CMD_GET_FPD_CTRL: return DC_RESP_FPD_CTRL_STATUS;
    case DC_CMD_GET_CUST_NAME: return DC_RESP_CUST_NAME;
    case DC_CMD_GET_INPUT_NAME: return DC_RESP_INPUT_NAME;
    case DC_PEEK: return DC_RESP_PEEK_VALUE;
    case DC_CMD_GET_COM_CONFIG: return DC_RESP_COM_CONFIG;
    default: return 0;
    }
}

bool answersRequest(const Packet& answer, std::uint8_t request)
{
    const bool names = answer.dataLength() >= 1 && answer.data()[0] == request;
    if (answer.code() == DC_NAK)
        return names;
    const std::uint8_t response = responseCodeOf(request);
    if (response != 0)
        return answer.code() == response;
    // The front-panel control is a command, but the unit answers it with its
    // front-panel status (an acknowledgement is taken as well).
    if (request == DC_CMD_SET_FPD_CTRL && answer.code() == DC_RESP_FPD_CTRL_STATUS)
        return true;
    return answer.code() == DC_ACK && names;
}

} // namespace bm
