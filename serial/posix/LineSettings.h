#pragma once

#include <cstdint>
#include <string>

namespace tevra {

// The framing and rate asked of a serial line.
struct LineRequest {
  std::uint32_t baud = 9600;
  std::uint8_t dataBits = 8;  // 5..8
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 2 two
};

enum class LineOutcome {
  kApplied,
  kRefused,  // the driver rejected the settings; errno says why
  kNotKept,  // accepted, but the device kept other framing or another rate
};

// Puts the terminal `fd` in raw mode with the requested framing, XON/XOFF flow
// control in both directions (0x11/0x13) and the rate, then reads the state back.
// Lives in its own file because the kernel's termios2 clashes with <termios.h>.
LineOutcome applyLineSettings(int fd, const LineRequest& request);

// "7 data bits, even parity, 1 stop bit, 9600 baud"
std::string describeLine(const LineRequest& request);

}  // namespace tevra
