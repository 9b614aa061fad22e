// Fixed-width, NUL-terminated text fields as the unit sends them: copying into
// a field stops at a NUL and fills the rest with NULs.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bm {

template <std::size_t N>
void copyField(std::array<char, N>& field, const std::uint8_t* text, std::size_t available)
{
    field.fill('\0');
    const std::size_t n = std::min(N, available);
    for (std::size_t i = 0; i < n && text[i] != 0; ++i)
        field[i] = static_cast<char>(text[i]);
}

template <std::size_t N>
void copyField(std::array<char, N>& field, std::string_view text)
{
    copyField(field, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace bm
