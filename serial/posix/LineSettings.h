#pragma once

#include <string>

#include "core/LineParameters.h"

namespace tevra {

enum class LineOutcome {
  kApplied,
  kRefused,  // the driver rejected the settings; errno says why
  kNotKept,  // accepted, but the device kept other framing or another rate
};

// Puts the terminal `fd` in raw mode with the requested framing, XON/XOFF flow
// control in both directions (0x11/0x13) and the rate, then reads the state back.
// The port number plays no part. Lives in its own file because the kernel's
// termios2 clashes with <termios.h>.
LineOutcome applyLineSettings(int fd, const LineParameters& request);

// "7 data bits, even parity, 1 stop bit, 9600 baud"
std::string describeLine(const LineParameters& request);

}  // namespace tevra
