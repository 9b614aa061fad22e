// Fixed-width, NUL-terminated text fields as the unit sends them: copying into
// a field stops at a NUL and fills the rest with NULs. Names have one form in
// the model whatever way they came (the unit's answers, a configuration file,
// the user): inner blanks stay, trailing blanks and NULs go.
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

// The name without its trailing blanks and NULs; leading and inner blanks stay.
inline std::string_view trimName(std::string_view name)
{
    const std::size_t last = name.find_last_not_of(std::string_view(" \0", 2));
    return last == std::string_view::npos ? std::string_view() : name.substr(0, last + 1);
}

// The same for a name field: trailing blanks become NULs.
template <std::size_t N>
void trimNameField(std::array<char, N>& field)
{
    for (std::size_t i = N; i-- > 0 && (field[i] == ' ' || field[i] == '\0');)
        field[i] = '\0';
}

} // namespace bm
