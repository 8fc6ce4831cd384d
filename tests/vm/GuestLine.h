#pragma once

// Helpers for tests that run inside the test guest (tests/vm/vmrun.py): the
// guest's real serial devices, the far end of its null modem, and the control
// line to the host that pulls out and puts back the USB adapter.
//
// The guest's /init names the devices in the environment; outside the guest
// (no "tevra_vm_guest" on the kernel command line) no device is ever named,
// so these tests can never open a serial device of the machine they run on.

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tevra::testing {

inline bool insideTestGuest() {
  std::ifstream cmdline("/proc/cmdline");
  std::string word;
  while (cmdline >> word) {
    if (word == "tevra_vm_guest") return true;
  }
  return false;
}

// The guest device named by `variable` (TEVRA_VM_UART, TEVRA_VM_USB,
// TEVRA_VM_CONTROL), or "" outside the guest.
inline std::string guestDevice(const char* variable) {
  const char* path = std::getenv(variable);
  return path != nullptr && insideTestGuest() ? path : "";
}

// The 16550 (8250 driver) and the FTDI adapter (ftdi_sio), wired to each other.
inline std::string uartPath() { return guestDevice("TEVRA_VM_UART"); }
inline std::string usbPath() { return guestDevice("TEVRA_VM_USB"); }
inline std::string otherEnd(const std::string& path) {
  return path == uartPath() ? usbPath() : uartPath();
}

#define TEVRA_REQUIRE_GUEST()                                                              \
  do {                                                                                     \
    if (::tevra::testing::uartPath().empty() || ::tevra::testing::usbPath().empty())       \
      FAIL() << "runs only inside the test guest: see tests/vm/vmrun.py";                  \
  } while (false)

inline int modemBits(int fd) {
  int bits = 0;
  return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

// A plain descriptor on a guest line, left as the line is: it watches a line the
// engine holds (root in the guest may open beside the exclusive hold), or, after
// setRaw(), plays the far end of the null modem.
class GuestLine {
 public:
  explicit GuestLine(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~GuestLine() {
    if (fd_ >= 0) ::close(fd_);
  }
  GuestLine(const GuestLine&) = delete;
  GuestLine& operator=(const GuestLine&) = delete;

  // Raw, 8N1 at `baud`, no flow control, nothing pending; false if refused.
  bool setRaw(std::uint32_t baud) {
    termios2 line{};
    if (fd_ < 0 || ::ioctl(fd_, TCGETS2, &line) != 0) return false;
    line.c_iflag = 0;
    line.c_oflag = 0;
    line.c_lflag = 0;
    line.c_cflag = CREAD | CLOCAL | CS8 | BOTHER;
    line.c_ispeed = baud;
    line.c_ospeed = baud;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return ::ioctl(fd_, TCSETS2, &line) == 0 && ::ioctl(fd_, TCFLSH, TCIOFLUSH) == 0;
  }

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  termios2 state() const {
    termios2 line{};
    ::ioctl(fd_, TCGETS2, &line);
    return line;
  }

  bool send(const std::vector<std::uint8_t>& bytes,
            std::chrono::milliseconds patience = std::chrono::seconds(20)) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
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

  // Until `count` bytes came or none came for `patience`.
  std::vector<std::uint8_t> receive(std::size_t count,
                                    std::chrono::milliseconds patience = std::chrono::seconds(20)) const {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    while (bytes.size() < count) {
      const ssize_t n = ::read(fd_, chunk, std::min(sizeof chunk, count - bytes.size()));
      if (n > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !waitFor(POLLIN, patience)) {
        break;
      }
    }
    return bytes;
  }

  bool waitFor(short events, std::chrono::milliseconds patience) const {
    pollfd watched{fd_, events, 0};
    return ::poll(&watched, 1, static_cast<int>(patience.count())) > 0;
  }

 private:
  int fd_;
};

// The control line to the host: each request is answered with one line.
//   "unplug"  the USB adapter is pulled out   -> "unplugged"
//   "plug"    it is put back                   -> "plugged"
// Anything else, or a failure, is answered "error ...".
class HostControl {
 public:
  HostControl() : line_(guestDevice("TEVRA_VM_CONTROL")) { line_.setRaw(115200); }

  std::string request(const std::string& what,
                      std::chrono::milliseconds patience = std::chrono::seconds(20)) {
    if (!line_.ok()) return "error no control line";
    if (!line_.send(std::vector<std::uint8_t>(what.begin(), what.end()))) return "error send";
    line_.send({'\n'});
    std::string reply;
    while (reply.empty() || reply.back() != '\n') {
      const auto got = line_.receive(1, patience);
      if (got.empty()) return "error no reply to " + what;
      reply.push_back(static_cast<char>(got[0]));
    }
    reply.pop_back();
    return reply;
  }

 private:
  GuestLine line_;
};

}  // namespace tevra::testing
