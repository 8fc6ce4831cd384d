#pragma once

#include <cstdint>
#include <optional>

namespace tevra {

// A key press as a shell's toolkit reports it, whatever the toolkit.
struct KeyPress {
  // The character the key produced, if any: a Unicode code point, or with
  // `isLineByte` a byte already in the line's character set (the ANSI code page
  // of a Windows WM_CHAR).
  std::optional<char32_t> character;
  bool isLineByte = false;
  // Ctrl was held. Toolkits that report Ctrl+[ as '[' (GTK) need the rule
  // below; WM_CHAR reports the control character itself.
  bool control = false;
  // Alt was held. Ctrl+Alt is AltGr on some layouts: its character is typed as is.
  bool alt = false;
  // An editing key that reports a character but types none (GTK's Delete reports 127).
  bool editingKey = false;
};

// The byte a key press sends down the line; nothing for keys that type no
// character, which the shell then leaves to the toolkit (F10, arrows).
// Ctrl with a letter types 1-26, Ctrl with @ [ \ ] ^ _ types 0 and 27-31.
// Characters go out in Windows-1252; one the set lacks goes out as '?'.
std::optional<std::uint8_t> lineByteOf(const KeyPress& key);

}  // namespace tevra
