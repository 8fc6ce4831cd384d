#pragma once

// A pseudo-terminal pair to stand in for a serial line in tests: the code
// under test opens slavePath(), the test plays the far end through master()
// and keeps no descriptor of the slave, so every open and close of the line
// is the tested code's own. Deliberately free of <termios.h>, so a test may
// use the kernel's termios2 alongside it.

#include <poll.h>  // the events of waitFor()

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/LinePattern.h"
#include "tests/support/Wait.h"

namespace tevra::testing {

class PtyLine {
 public:
  // A raw line; throws std::runtime_error when no pseudo-terminal is available.
  PtyLine();
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // The far end, non-blocking.
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  // Hangs up the line as an unplugged adapter would.
  void closeMaster();

  // Sends every byte from the far end; false if the line stayed full for `patience`.
  bool send(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds patience = 20s) const;
  // Sends linePattern() bytes from `offset` on until the line stays full for `quiet`
  // (whoever reads it has stopped); returns how many went, at most about `limit`.
  std::size_t sendUntilFull(std::size_t offset, std::size_t limit, std::chrono::milliseconds quiet = 300ms) const;
  // Receives at the far end until `count` bytes came or none came for `patience`.
  std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds patience = 20s) const;
  // True when the far end sees `events` (POLLHUP is always reported) within `patience`.
  bool waitFor(short events, std::chrono::milliseconds patience) const;

  // Writes `bytes` from the far end, retrying while nobody holds the line, for at most kPatience.
  void write(const std::string& bytes);
  // Reads what arrives until it holds `expected` or `patience` runs out; everything read.
  std::string readUntil(const std::string& expected, std::chrono::milliseconds patience = kPatience);
  // Everything that arrives within `quiet`.
  std::string drain(std::chrono::milliseconds quiet = 300ms);

  // The line's VSTART character, which every open of the program sets to 0x11:
  // overwrite it, and the next open of the line shows.
  void setStartCharacter(unsigned char character);
  unsigned char startCharacter() const;

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace tevra::testing
