#pragma once

#include <cstdint>

namespace tevra {

// Parity by its line code, the serial API's numbering (not the Settings list's order).
enum class Parity : std::uint8_t { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };

// Stop bits by their line code; code 1, one and a half, is not offered.
enum class StopBits : std::uint8_t { kOne = 0, kTwo = 2 };

// The line values a port is opened with, as the port engine stores them.
struct LineParameters {
  std::uint8_t portNumber = 2;  // 1-based: 1 = COM1
  std::uint32_t baud = 9600;
  std::uint8_t dataBits = 8;  // 5..8
  Parity parity = Parity::kNone;
  StopBits stopBits = StopBits::kOne;

  bool operator==(const LineParameters&) const = default;
};

}  // namespace tevra
