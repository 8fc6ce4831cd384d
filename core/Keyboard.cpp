#include "core/Keyboard.h"

#include "core/Cp1252.h"

namespace tevra {

namespace {

constexpr std::uint8_t kReplacement = '?';

bool typesControlCharacterWithCtrl(char32_t character) {
  return (character >= U'@' && character <= U'_') || (character >= U'a' && character <= U'z');
}

}  // namespace

std::optional<std::uint8_t> lineByteOf(const KeyPress& key) {
  if (!key.character || key.editingKey) return std::nullopt;
  const char32_t character = *key.character;
  if (key.control && !key.alt && typesControlCharacterWithCtrl(character)) {
    return static_cast<std::uint8_t>(character & 0x1F);
  }
  if (key.isLineByte) return static_cast<std::uint8_t>(character & 0xFF);
  return unicodeToCp1252(character).value_or(kReplacement);
}

}  // namespace tevra
