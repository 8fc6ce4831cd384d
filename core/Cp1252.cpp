#include "core/Cp1252.h"

#include <array>

namespace tevra {
namespace {

constexpr char32_t kUndefined = 0;

// 0x80-0x9F; the rest of the set equals Latin-1.
constexpr std::array<char32_t, 32> kHighControlRange = {
    0x20AC, kUndefined, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, kUndefined, 0x017D, kUndefined,
    kUndefined, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, kUndefined, 0x017E, 0x0178,
};

}  // namespace

std::optional<char32_t> cp1252ToUnicode(std::uint8_t byte) {
  if (byte < 0x80 || byte >= 0xA0) return char32_t{byte};
  const char32_t mapped = kHighControlRange[byte - 0x80];
  if (mapped == kUndefined) return std::nullopt;
  return mapped;
}

std::optional<std::uint8_t> unicodeToCp1252(char32_t character) {
  if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) {
    return static_cast<std::uint8_t>(character);
  }
  for (std::size_t i = 0; i < kHighControlRange.size(); ++i) {
    if (kHighControlRange[i] != kUndefined && kHighControlRange[i] == character) {
      return static_cast<std::uint8_t>(0x80 + i);
    }
  }
  return std::nullopt;
}

}  // namespace tevra
