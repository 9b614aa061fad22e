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

// The largest file there can be: the header, 255 parameter values and 255
// effect records of 255 data bytes each.
inline constexpr std::size_t kConfigFileSizeLimit =
    ConfigFileHeader::kSize + (kRecordPrefixSize + 255) + 255 * (kRecordPrefixSize + 255);

// The one check of a configuration file's bytes, behind every restore,
// selective restore, Compare and diff (loadConfigFile reads the file): the
// header of a supported product, a system parameter record holding exactly
// the header's TotalParams values, then the header's TotalEffects effect
// records, and nothing after them. ConfigMagic and the reserved bytes are not
// looked at, so a file any writer of the layout made is accepted. Fails, with
// the reason in words in `error`, on the first fault found.
std::optional<ConfigFileContents> parseConfigFile(const std::uint8_t* bytes, std::size_t size,
                                                  std::string* error = nullptr);

} // namespace bm
