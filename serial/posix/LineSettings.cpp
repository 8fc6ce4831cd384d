#include "serial/posix/LineSettings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <string>

namespace tevra {

namespace {

constexpr tcflag_t kParityFlags = PARENB | PARODD | CMSPAR;

bool encodeSize(std::uint8_t dataBits, tcflag_t& size) {
  switch (dataBits) {
    case 5: size = CS5; return true;
    case 6: size = CS6; return true;
    case 7: size = CS7; return true;
    case 8: size = CS8; return true;
    default: return false;
  }
}

// A code outside the enumeration (a caller's cast) is refused, not guessed at.
bool encodeParity(Parity parity, tcflag_t& flags) {
  switch (parity) {
    case Parity::kNone: flags = 0; return true;
    case Parity::kOdd: flags = PARENB | PARODD; return true;
    case Parity::kEven: flags = PARENB; return true;
    case Parity::kMark: flags = PARENB | PARODD | CMSPAR; return true;
    case Parity::kSpace: flags = PARENB | CMSPAR; return true;
  }
  return false;
}

bool encodeStopBits(StopBits stopBits, tcflag_t& flags) {
  switch (stopBits) {
    case StopBits::kOne: flags = 0; return true;
    case StopBits::kTwo: flags = CSTOPB; return true;
  }
  return false;  // one and a half stop bits has no Linux setting
}

// A driver may report the rate its clock really reaches; UARTs tolerate 2%.
bool rateKept(speed_t asked, speed_t got) {
  const long difference = std::labs(static_cast<long>(got) - static_cast<long>(asked));
  return difference * 50 <= static_cast<long>(asked);
}

// ftdi_sio keeps 5 data bits in the line's state but has the chip run 8 (a mode
// switch some smartcard readers rely on), so its read-back cannot be trusted there.
bool runsFiveBitsAsEight(int fd) {
  struct stat node{};
  if (::fstat(fd, &node) != 0 || !S_ISCHR(node.st_mode)) return false;
  const std::string driverLink = "/sys/dev/char/" + std::to_string(major(node.st_rdev)) + ":" +
                                 std::to_string(minor(node.st_rdev)) + "/device/driver";
  char target[256] = {};
  const ssize_t length = ::readlink(driverLink.c_str(), target, sizeof target - 1);
  if (length <= 0) return false;
  const std::string driver(target, static_cast<std::size_t>(length));
  return driver.size() >= 9 && driver.compare(driver.size() - 9, 9, "/ftdi_sio") == 0;
}

}  // namespace

LineOutcome applyLineSettings(int fd, const LineParameters& request) {
  tcflag_t size = 0;
  tcflag_t parity = 0;
  tcflag_t stop = 0;
  if (request.baud == 0 || !encodeSize(request.dataBits, size) ||
      !encodeParity(request.parity, parity) || !encodeStopBits(request.stopBits, stop)) {
    return LineOutcome::kNotKept;
  }

  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return LineOutcome::kRefused;

  // Raw bytes both ways; PARMRK would double every 0xFF and ISTRIP clear bit 7.
  // IXANY would let any byte end an XOFF. Flow control is XON/XOFF, not CTS/RTS.
  line.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY |
                    IMAXBEL | INPCK | IGNPAR);
  line.c_iflag |= IXON | IXOFF;
  if (parity != 0) line.c_iflag |= INPCK;
  line.c_oflag &= ~OPOST;
  line.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  line.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | kParityFlags | CSTOPB | CRTSCTS);
  line.c_cflag |= CREAD | CLOCAL | BOTHER | size | parity | stop;
  line.c_ispeed = request.baud;
  line.c_ospeed = request.baud;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  line.c_cc[VSTART] = 0x11;
  line.c_cc[VSTOP] = 0x13;
  if (ioctl(fd, TCSETS2, &line) != 0) return LineOutcome::kRefused;

  termios2 kept{};
  if (ioctl(fd, TCGETS2, &kept) != 0) return LineOutcome::kRefused;
  const bool framingKept = (kept.c_cflag & CSIZE) == size &&
                           (kept.c_cflag & kParityFlags) == parity &&
                           (kept.c_cflag & CSTOPB) == stop;
  if (!framingKept || (size == CS5 && runsFiveBitsAsEight(fd)) ||
      !rateKept(request.baud, kept.c_ospeed) ||
      !rateKept(request.baud, kept.c_ispeed)) {
    return LineOutcome::kNotKept;
  }
  return LineOutcome::kApplied;
}

std::string describeLine(const LineParameters& request) {
  static const char* const kParityNames[] = {"no parity", "odd parity", "even parity",
                                             "mark parity", "space parity"};
  const unsigned parityCode = static_cast<unsigned>(request.parity);
  std::string text = std::to_string(request.dataBits) + " data bits, ";
  text += parityCode < std::size(kParityNames) ? kParityNames[parityCode]
                                                : "parity code " + std::to_string(parityCode);
  switch (request.stopBits) {
    case StopBits::kOne: text += ", 1 stop bit"; break;
    case StopBits::kTwo: text += ", 2 stop bits"; break;
    default:
      text += ", stop bits code " + std::to_string(static_cast<unsigned>(request.stopBits));
      break;
  }
  return text + ", " + std::to_string(request.baud) + " baud";
}

}  // namespace tevra
