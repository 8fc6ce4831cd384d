#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tevra::testing {

// Bytes a line with XON/XOFF flow control carries unchanged (no 0x11, no 0x13):
// position `offset + i` of an endless, easily checked sequence.
inline std::vector<std::uint8_t> linePattern(std::size_t count, std::size_t offset = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto byte = static_cast<std::uint8_t>((offset + i) % 251);
    if (byte == 0x11 || byte == 0x13) byte |= 0x80;
    bytes[i] = byte;
  }
  return bytes;
}

}  // namespace tevra::testing
