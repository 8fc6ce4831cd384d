#pragma once

// A pseudo-terminal pair to stand in for a serial line in tests: the engine opens
// slavePath(), the test plays the far end through master(). Deliberately free of
// <termios.h>, so a test may use the kernel's termios2 alongside it.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
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

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
      closeMaster();
      throw std::runtime_error("no pseudo-terminal available");
    }
    slavePath_ = name;
  }
  ~PtyPair() { closeMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The far end, non-blocking.
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  // Hangs up the line as an unplugged adapter would.
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Sends every byte from the far end; false if the line stayed full for `patience`.
  bool send(const std::vector<std::uint8_t>& bytes,
            std::chrono::milliseconds patience = std::chrono::seconds(20)) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (!waitFor(POLLOUT, patience)) {
        return false;
      }
    }
    return true;
  }

  // Sends linePattern() bytes from `offset` on until the line stays full for `quiet`
  // (whoever reads it has stopped); returns how many went, at most about `limit`.
  std::size_t sendUntilFull(std::size_t offset, std::size_t limit,
                            std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) const {
    std::size_t sent = 0;
    while (sent < limit) {
      const auto chunk = linePattern(4096, offset + sent);
      const ssize_t n = ::write(master_, chunk.data(), chunk.size());
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      } else if (!waitFor(POLLOUT, quiet)) {
        break;
      }
    }
    return sent;
  }

  // Receives at the far end until `count` bytes came or none came for `patience`.
  std::vector<std::uint8_t> receive(std::size_t count,
                                    std::chrono::milliseconds patience = std::chrono::seconds(20)) const {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    while (bytes.size() < count) {
      const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
      if (n > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
      } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || n == 0) {
        break;
      } else if (!waitFor(POLLIN, patience)) {
        break;
      }
    }
    return bytes;
  }

  // True when the far end sees `events` (POLLHUP is always reported) within `patience`.
  bool waitFor(short events, std::chrono::milliseconds patience) const {
    pollfd watched{master_, events, 0};
    return ::poll(&watched, 1, static_cast<int>(patience.count())) > 0;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace tevra::testing
