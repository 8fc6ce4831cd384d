// Key presses to line bytes, as both shells report them: GTK's Unicode
// character with the Ctrl state, and WM_CHAR's byte in the ANSI code page.

#include "core/Keyboard.h"

#include <gtest/gtest.h>

#include <optional>

namespace tevra {
namespace {

struct KeyCase {
  const char* what;
  KeyPress key;
  std::optional<int> byte;  // nothing: the key types nothing and goes back to the toolkit
};

KeyPress typed(char32_t character) { return {character}; }
KeyPress ctrl(char32_t character) { return {.character = character, .control = true}; }
KeyPress lineByte(std::uint8_t byte) { return {.character = byte, .isLineByte = true}; }
KeyPress ctrlWithoutCharacter() { return {.character = std::nullopt, .control = true}; }

class KeyboardTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyboardTest, KeySendsItsByteOrNothing) {
  const KeyCase& keyCase = GetParam();
  const auto byte = lineByteOf(keyCase.key);
  ASSERT_EQ(byte.has_value(), keyCase.byte.has_value()) << keyCase.what;
  if (byte) {
    EXPECT_EQ(*byte, *keyCase.byte) << keyCase.what;
  }
}

const KeyCase kCases[] = {
    // Printable characters and the keys that type control characters.
    {"letter", typed(U'a'), 'a'},
    {"capital", typed(U'B'), 'B'},
    {"space", typed(U' '), ' '},
    {"tilde", typed(U'~'), '~'},
    {"Enter", typed(U'\r'), 13},
    {"Backspace", typed(U'\b'), 8},
    {"Tab", typed(U'\t'), 9},
    {"Escape", typed(U'\x1b'), 27},
    // Keys that produce no character send nothing.
    {"arrow or function key", KeyPress{}, std::nullopt},
    {"Ctrl alone", ctrlWithoutCharacter(), std::nullopt},
    {"Delete reports 127", {.character = U'\x7f', .editingKey = true}, std::nullopt},
    // Ctrl with a letter, whichever case the toolkit reports, types 1-26.
    {"Ctrl+A", ctrl(U'A'), 1},
    {"Ctrl+a", ctrl(U'a'), 1},
    {"Ctrl+Z", ctrl(U'Z'), 26},
    {"Ctrl+z", ctrl(U'z'), 26},
    {"Ctrl+a reported as 1", ctrl(U'\x01'), 1},
    // Ctrl with @ [ \ ] ^ _ types NUL and 27-31.
    {"Ctrl+@", ctrl(U'@'), 0},
    {"Ctrl+[", ctrl(U'['), 27},
    {"Ctrl+\\", ctrl(U'\\'), 28},
    {"Ctrl+]", ctrl(U']'), 29},
    {"Ctrl+^", ctrl(U'^'), 30},
    {"Ctrl+_", ctrl(U'_'), 31},
    // Ctrl with anything else types the character itself.
    {"Ctrl+1", ctrl(U'1'), '1'},
    {"Ctrl+?", ctrl(U'?'), '?'},
    {"Ctrl+`", ctrl(U'`'), '`'},
    {"Ctrl+{", ctrl(U'{'), '{'},
    {"Ctrl+e acute", ctrl(U'\u00e9'), 0xE9},
    // Ctrl+Alt is AltGr on some layouts: its character goes out as it is.
    {"AltGr+@", {.character = U'@', .control = true, .alt = true}, '@'},
    {"AltGr+[", {.character = U'[', .control = true, .alt = true}, '['},
    {"AltGr+euro", {.character = U'\u20ac', .control = true, .alt = true}, 0x80},
    // Characters go out in Windows-1252; those it lacks as '?'.
    {"e acute", typed(U'\u00e9'), 0xE9},
    {"u diaeresis", typed(U'\u00fc'), 0xFC},
    {"yen", typed(U'\u00a5'), 0xA5},
    {"euro", typed(U'\u20ac'), 0x80},
    {"left quote", typed(U'\u2018'), 0x91},
    {"y diaeresis", typed(U'\u00ff'), 0xFF},
    {"C1 control", typed(U'\u0081'), '?'},
    {"Cyrillic", typed(U'\u042f'), '?'},
    {"CJK", typed(U'\u4e2d'), '?'},
    {"emoji", typed(U'\U0001F600'), '?'},
    // A byte already in the line's set (WM_CHAR) goes out unchanged.
    {"line byte 0x80", lineByte(0x80), 0x80},
    {"line byte 0x81", lineByte(0x81), 0x81},
    {"line byte 0x9D", lineByte(0x9D), 0x9D},
    {"line byte 0xFF", lineByte(0xFF), 0xFF},
    {"line byte NUL", lineByte(0x00), 0},
    {"line byte Ctrl+[", lineByte(0x1B), 27},
    {"line byte DEL", lineByte(0x7F), 0x7F},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeyboardTest, ::testing::ValuesIn(kCases));

}  // namespace
}  // namespace tevra
