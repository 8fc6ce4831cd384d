// Windows-1252, the set the line's bytes are shown and typed in.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "core/Cp1252.h"

namespace tevra {
namespace {

TEST(Cp1252Test, TheFiveUndefinedBytesHaveNoCharacterAndEveryOtherByteRoundTrips) {
  const std::uint8_t undefined[] = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
  for (int byte = 0; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    const auto character = cp1252ToUnicode(static_cast<std::uint8_t>(byte));
    const bool isUndefined = std::find(std::begin(undefined), std::end(undefined), byte) != std::end(undefined);
    ASSERT_EQ(character.has_value(), !isUndefined);
    if (character) {
      EXPECT_EQ(unicodeToCp1252(*character), byte);
    }
  }
}

TEST(Cp1252Test, TheRangeThatDiffersFromLatin1MapsToItsOwnCharacters) {
  const std::pair<std::uint8_t, char32_t> cases[] = {
      {0x80, U'\u20AC'}, {0x85, U'\u2026'}, {0x8A, U'\u0160'}, {0x91, U'\u2018'},
      {0x96, U'\u2013'}, {0x99, U'\u2122'}, {0x9F, U'\u0178'}, {0xA0, U'\u00A0'},
      {0xE9, U'\u00E9'}, {0xFF, U'\u00FF'},
  };
  for (const auto& [byte, character] : cases) EXPECT_EQ(cp1252ToUnicode(byte), character) << int{byte};
}

TEST(Cp1252Test, CharactersOutsideTheSetHaveNoByte) {
  for (char32_t character : {U'\u0080', U'\u0081', U'\u009F', U'\u0100', U'\u20AD', U'\u4E2D', U'\U0001F600'}) {
    EXPECT_FALSE(unicodeToCp1252(character).has_value()) << static_cast<unsigned long>(character);
  }
}

}  // namespace
}  // namespace tevra
