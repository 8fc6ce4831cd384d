#pragma once

#include <cstdint>
#include <optional>

// Windows-1252, the character set the line's bytes are shown and typed in.
namespace tevra {

// The character of `byte`; nothing for the five bytes the set leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D).
std::optional<char32_t> cp1252ToUnicode(std::uint8_t byte);

// The byte of `character`; nothing when the set has none.
std::optional<std::uint8_t> unicodeToCp1252(char32_t character);

}  // namespace tevra
