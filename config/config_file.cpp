// Building and parsing the configuration file's header and records.
#include "config/config_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace bm {

static_assert(std::is_standard_layout_v<ConfigFileHeader>);
static_assert(std::is_trivially_copyable_v<ConfigFileHeader>);
static_assert(sizeof(ConfigFileHeader) == ConfigFileHeader::kSize);
static_assert(offsetof(ConfigFileHeader, magic) == 0);
static_assert(offsetof(ConfigFileHeader, unitConfig) == 8);
static_assert(offsetof(ConfigFileHeader, reserved1) == 33);
static_assert(offsetof(ConfigFileHeader, inputNames) == 68);
static_assert(offsetof(ConfigFileHeader, customName) == 180);
static_assert(offsetof(ConfigFileHeader, reserved2) == 201);

namespace {

template <std::size_t N>
void copyName(std::array<std::uint8_t, N>& field, const std::uint8_t* text, std::size_t length)
{
    field.fill(0);
    for (std::size_t i = 0; i < N && i < length && text[i] != 0; ++i)
        field[i] = text[i];
    field[N - 1] = 0;
}

// The field's last byte is always 0 in a file this program writes; in any
// other file it is not part of the name either.
template <std::size_t N>
std::string nameText(const std::array<std::uint8_t, N>& field)
{
    std::size_t n = 0;
    while (n + 1 < N && field[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(field.data()), n);
}

} // namespace

ConfigFileHeader ConfigFileHeader::make()
{
    ConfigFileHeader header;
    for (int i = 0; i < 4; ++i)
        header.magic[i] = static_cast<std::uint8_t>(kConfigMagic >> (8 * i));
    return header;
}

ConfigFileHeader ConfigFileHeader::fromBytes(const std::uint8_t* bytes)
{
    ConfigFileHeader header;
    std::memcpy(&header, bytes, kSize);
    return header;
}

std::array<std::uint8_t, ConfigFileHeader::kSize> ConfigFileHeader::toBytes() const
{
    std::array<std::uint8_t, kSize> bytes{};
    std::memcpy(bytes.data(), this, kSize);
    return bytes;
}

std::uint32_t ConfigFileHeader::magicValue() const
{
    return std::uint32_t(magic[0]) | std::uint32_t(magic[1]) << 8 | std::uint32_t(magic[2]) << 16 |
           std::uint32_t(magic[3]) << 24;
}

void ConfigFileHeader::setInputName(int index, const std::uint8_t* text, std::size_t length)
{
    if (index >= 0 && index < kInputCount)
        copyName(inputNames[static_cast<std::size_t>(index)], text, length);
}

void ConfigFileHeader::setCustomName(const std::uint8_t* text, std::size_t length)
{
    copyName(customName, text, length);
}

std::string ConfigFileHeader::inputNameText(int index) const
{
    if (index < 0 || index >= kInputCount)
        return {};
    return nameText(inputNames[static_cast<std::size_t>(index)]);
}

std::string ConfigFileHeader::customNameText() const
{
    return nameText(customName);
}

namespace {

// code, L, then `prefix` (when given) and `values`.
std::vector<std::uint8_t> recordBytes(std::uint8_t code, const std::uint8_t* prefix,
                                      const std::uint8_t* values, std::size_t count)
{
    const std::size_t length = (prefix ? 1 : 0) + count;
    std::vector<std::uint8_t> bytes(kRecordPrefixSize + length);
    bytes[0] = code;
    bytes[1] = static_cast<std::uint8_t>(length);
    auto out = bytes.begin() + kRecordPrefixSize;
    if (prefix)
        *out++ = *prefix;
    std::copy_n(values, count, out);
    return bytes;
}

} // namespace

std::vector<std::uint8_t> SystemParamRecord::toBytes() const
{
    return recordBytes(code, nullptr, values.data(), values.size());
}

std::vector<std::uint8_t> EffectParamRecord::toBytes() const
{
    return recordBytes(code, &effectId, values.data(), values.size());
}

std::vector<std::uint8_t> recordFromPacket(const Packet& packet)
{
    return recordBytes(packet.code(), nullptr, packet.data(), packet.dataLength());
}

namespace {

// The products the program knows (1 ZA-2, 2 DE-1); every other id reads as
// "NOT SUPPORTED BY BRENNMARK", and its parameters mean nothing to it.
bool supportedProduct(std::uint8_t id)
{
    return id == 1 || id == 2;
}

std::string bytesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string codeText(std::uint8_t code)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", code);
    return text;
}

} // namespace

std::optional<ConfigFileContents> parseConfigFile(const std::uint8_t* bytes, std::size_t size,
                                                  std::string* error)
{
    auto fail = [&](std::string reason) -> std::optional<ConfigFileContents> {
        if (error)
            *error = std::move(reason);
        return std::nullopt;
    };
    if (size > kConfigFileSizeLimit)
        return fail("larger than " + std::to_string(kConfigFileSizeLimit) + " bytes, the most a configuration holds");
    if (size < ConfigFileHeader::kSize)
        return fail("it is " + bytesText(size) + ", shorter than the " + std::to_string(ConfigFileHeader::kSize) +
                    "-byte header");

    ConfigFileContents contents;
    contents.header = ConfigFileHeader::fromBytes(bytes);
    const std::uint8_t product = contents.header.unitConfig[0];
    if (!supportedProduct(product))
        return fail("it was saved from product " + std::to_string(product) + ", which Brennmark does not support");
    std::size_t at = ConfigFileHeader::kSize;

    // A record's prefix: its code, which must be `code`, and its length.
    auto record = [&](std::uint8_t code, const std::string& what, std::size_t& length) -> bool {
        if (size - at < kRecordPrefixSize) {
            fail("the file ends before " + what + " at offset " + std::to_string(at));
            return false;
        }
        if (bytes[at] != code) {
            const std::string bare = what.rfind("the ", 0) == 0 ? what.substr(4) : what;
            fail("no " + bare + " at offset " + std::to_string(at) + " (a record of code " + codeText(bytes[at]) +
                 " is there)");
            return false;
        }
        length = bytes[at + 1];
        return true;
    };
    // The record's data, which stay in place.
    auto take = [&](const std::string& what, const std::uint8_t*& data, std::size_t length) -> bool {
        const std::size_t have = size - at - kRecordPrefixSize;
        if (have < length) {
            fail("the file ends " + bytesText(length - have) + " short of " + what + " at offset " +
                 std::to_string(at));
            return false;
        }
        data = bytes + at + kRecordPrefixSize;
        at += kRecordPrefixSize + length;
        return true;
    };

    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    const std::string system = "the system parameter record";
    if (!record(DC_RESP_SYS_PARAM_VALUES, system, length))
        return std::nullopt;
    // Every parameter of the unit has its value, and no more: the restore
    // sends TotalParams values from here, and the comparison goes by id.
    const std::uint8_t params = contents.header.totalParams();
    if (length != params)
        return fail(system + " holds " + std::to_string(length) + " values, the unit it was saved from has " +
                    std::to_string(params));
    if (!take(system, data, length))
        return std::nullopt;
    contents.system.values.assign(data, data + length);

    for (int i = 0; i < contents.header.totalEffects(); ++i) {
        const std::string effect = "effect parameter record " + std::to_string(i);
        if (!record(DC_RESP_EFFECT_PARAM_VALUES, effect, length))
            return std::nullopt;
        if (length == 0)
            return fail(effect + " at offset " + std::to_string(at) + " has no effect id");
        if (!take(effect, data, length))
            return std::nullopt;
        EffectParamRecord entry;
        entry.effectId = data[0];
        entry.values.assign(data + 1, data + length);
        contents.effects.push_back(std::move(entry));
    }
    if (at != size)
        return fail(bytesText(size - at) + " after the last record");
    return contents;
}

} // namespace bm
