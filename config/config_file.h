// The configuration file (*.lex), byte for byte: a 204-byte header holding the
// unit's identity and names, one system parameter record and one record per
// effect, each record a response packet without its start, count and end bytes.
// Building and parsing only; no files and no unit here.
#pragma once

#include "link/packet.h"
#include "model/records.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bm {

// Stored little-endian at offset 0 (bytes 45 12 87 AB).
inline constexpr std::uint32_t kConfigMagic = 0xAB871245;

// Every member is a byte array, so the struct has no padding and its memory
// image is the file's header (checked by the static_asserts in config_file.cpp).
struct ConfigFileHeader {
    static constexpr std::size_t kSize = 204;
    static constexpr std::size_t kInputNameSize = 14;  // 13 characters and a NUL
    static constexpr std::size_t kCustomNameSize = 21; // 20 characters and a NUL

    std::array<std::uint8_t, 4> magic{};                              // 0
    std::array<std::uint8_t, 4> reserved0{};                          // 4
    std::array<std::uint8_t, UnitConfig::kWireSize> unitConfig{};     // 8
    std::array<std::uint8_t, 35> reserved1{};                         // 33
    std::array<std::array<std::uint8_t, kInputNameSize>, kInputCount> inputNames{}; // 68 + 14 x index
    std::array<std::uint8_t, kCustomNameSize> customName{};           // 180; byte 200 always 0
    std::array<std::uint8_t, 3> reserved2{};                          // 201

    // A zeroed header with ConfigMagic in place.
    static ConfigFileHeader make();
    // The first kSize bytes of `bytes`, as they are.
    static ConfigFileHeader fromBytes(const std::uint8_t* bytes);
    std::array<std::uint8_t, kSize> toBytes() const;

    std::uint32_t magicValue() const;
    std::uint8_t totalParams() const { return unitConfig[7]; }
    std::uint8_t totalEffects() const { return unitConfig[8]; }

    // Copies a name as the unit sent it: at most the field's size, stopping at
    // the first NUL or at `length`, NUL-padded; the field's last byte is then 0,
    // so a name is kept to 13 (input) or 20 (custom) characters.
    void setInputName(int index, const std::uint8_t* text, std::size_t length);
    void setCustomName(const std::uint8_t* text, std::size_t length);
    // The stored text up to its first NUL, at most 13 (input) or 20 (custom)
    // characters whatever the last byte of the field holds.
    std::string inputNameText(int index) const;
    std::string customNameText() const;
};

// Size of a record's own header: the response code and L.
inline constexpr std::size_t kRecordPrefixSize = 2;

// A system parameter record: 0x84, L, the values of parameters 0 to L - 1.
struct SystemParamRecord {
    std::uint8_t code = DC_RESP_SYS_PARAM_VALUES;
    std::vector<std::uint8_t> values;

    std::vector<std::uint8_t> toBytes() const;
};

// An effect parameter record: 0x87, L, the effect id, L - 1 parameter values.
struct EffectParamRecord {
    std::uint8_t code = DC_RESP_EFFECT_PARAM_VALUES;
    std::uint8_t effectId = 0;
    std::vector<std::uint8_t> values;

    std::vector<std::uint8_t> toBytes() const;
};

// The record the save writes for a captured response: the packet's code byte,
// its length byte and its data bytes, unchanged.
std::vector<std::uint8_t> recordFromPacket(const Packet& packet);

// A whole file read by its documented layout.
struct ConfigFileContents {
    ConfigFileHeader header;
    SystemParamRecord system;
    std::vector<EffectParamRecord> effects; // TotalEffects of the header, by id order in the file
};

// Reads a complete file: the header, the system record (its own L), then the
// header's TotalEffects effect records. Fails, with the reason in `error`, when
// the bytes end early, a record has the wrong code or an effect record is
// empty, or bytes follow the last record.
std::optional<ConfigFileContents> parseConfigFile(const std::uint8_t* bytes, std::size_t size,
                                                  std::string* error = nullptr);

// How many bytes the restore reads: the header and a system record of
// `totalParams` values.
constexpr std::size_t restoreSizeFor(std::uint8_t totalParams)
{
    return ConfigFileHeader::kSize + kRecordPrefixSize + totalParams;
}
// The most the restore ever reads from a file.
inline constexpr std::size_t kRestoreReadLimit = restoreSizeFor(255);

} // namespace bm
