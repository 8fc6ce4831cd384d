// The engine on the kernel's real drivers, across a null modem between a 16550
// UART and an FTDI adapter: bytes both ways at every rate, the modem lines the
// open raises and the close drops, and the exclusive hold against other openers.

#include <linux/capability.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/serial/PtyPair.h"
#include "tests/vm/GuestLine.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::GuestLine;
using testing::modemBits;
using testing::PortFixture;

// TIOCM_LOOP: the kernel's <asm/termios.h> has it, and clashes with <sys/ioctl.h>.
constexpr int kModemLoopback = 0x8000;

std::vector<std::uint8_t> everyByteButXonXoff() {
  std::vector<std::uint8_t> bytes;
  for (int value = 0; value < 256; ++value) {
    if (value != 0x11 && value != 0x13) bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

struct RateCase {
  bool engineOnUsb;  // the engine holds the FTDI adapter, the far end the UART; or the reverse
  std::uint32_t baud;
};

class NullModemRateTest : public PortFixture<::testing::TestWithParam<RateCase>> {};

TEST_P(NullModemRateTest, EveryByteButXonAndXoffCrossesBothWays) {
  TEVRA_REQUIRE_GUEST();
  const RateCase line = GetParam();
  const std::string enginePath = line.engineOnUsb ? testing::usbPath() : testing::uartPath();
  GuestLine far(testing::otherEnd(enginePath));
  ASSERT_TRUE(far.setRaw(line.baud));
  portSetLine(6, line.baud, 8, Parity::kNone, StopBits::kOne);
  ASSERT_EQ(portOpen(enginePath, &ui_), 1) << portFailureReason();

  const auto bytes = everyByteButXonXoff();
  ASSERT_TRUE(far.send(bytes));
  ASSERT_TRUE(ui_.pumpBytes(bytes.size(), 20s)) << ui_.byteCount << " of " << bytes.size();
  EXPECT_EQ(ui_.received, bytes);

  EXPECT_EQ(portWrite(bytes.data(), bytes.size()), 1);
  EXPECT_EQ(far.receive(bytes.size()), bytes);
}

std::vector<RateCase> everyRateEachWay() {
  std::vector<RateCase> cases;
  for (const bool engineOnUsb : {false, true}) {
    for (const std::uint32_t baud : {300u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u,
                                     57600u, 115200u}) {
      cases.push_back({engineOnUsb, baud});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, NullModemRateTest, ::testing::ValuesIn(everyRateEachWay()),
                         [](const auto& info) {
                           return std::string(info.param.engineOnUsb ? "EngineOnFtdi_" : "EngineOnUart_") +
                                  std::to_string(info.param.baud);
                         });

struct ModemLineCase {
  const char* name;
  bool usb;
  bool loopback;  // the 16550's loopback: DTR comes back as DSR, RTS as CTS
};

class ModemLinesTest : public PortFixture<::testing::TestWithParam<ModemLineCase>> {};

TEST_P(ModemLinesTest, OpenRaisesDtrAndRtsAndCloseDropsThem) {
  TEVRA_REQUIRE_GUEST();
  const ModemLineCase line = GetParam();
  const std::string path = line.usb ? testing::usbPath() : testing::uartPath();
  const int dtr = line.loopback ? TIOCM_DSR : TIOCM_DTR;
  const int rts = line.loopback ? TIOCM_CTS : TIOCM_RTS;
  // The observer stays open, so the lines the close drops are the engine's doing,
  // not the kernel's hang-up at the last close. Its own open raised them: lower them.
  GuestLine observer(path);
  ASSERT_TRUE(observer.ok());
  int bits = TIOCM_DTR | TIOCM_RTS;
  ASSERT_EQ(::ioctl(observer.fd(), TIOCMBIC, &bits), 0);
  if (line.loopback) {
    bits = kModemLoopback;
    ASSERT_EQ(::ioctl(observer.fd(), TIOCMBIS, &bits), 0);
  }
  ASSERT_EQ(modemBits(observer.fd()) & (dtr | rts), 0);

  portSetLine(7, 9600, 8, Parity::kNone, StopBits::kOne);
  ASSERT_EQ(portOpen(path, &ui_), 1) << portFailureReason();
  EXPECT_EQ(modemBits(observer.fd()) & (dtr | rts), dtr | rts);
  portClose();
  EXPECT_EQ(modemBits(observer.fd()) & (dtr | rts), 0);

  if (line.loopback) {
    bits = kModemLoopback;
    (void)::ioctl(observer.fd(), TIOCMBIC, &bits);
  }
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, ModemLinesTest,
                         ::testing::Values(ModemLineCase{"Uart16550", false, false},
                                           ModemLineCase{"Uart16550Loopback", false, true},
                                           ModemLineCase{"Ftdi", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class Opener {
  kPlain,      // a program without CAP_SYS_ADMIN: TIOCEXCL refuses it with EBUSY
  kTerminal,   // a terminal program as root: the open passes, its flock does not
};

// Opens `path` from a child process as another program would: 0 if it got the
// line, else the errno of the step that refused it.
int openFromOtherProcess(const std::string& path, Opener opener) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (opener == Opener::kPlain) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct caps[2] = {};
      if (::syscall(SYS_capget, &header, caps) != 0) ::_exit(250);
      caps[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
      if (::syscall(SYS_capset, &header, caps) != 0) ::_exit(251);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) ::_exit(errno);
    if (opener == Opener::kTerminal && ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(errno);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ExclusiveOpenTest : public PortFixture<::testing::TestWithParam<bool>> {};

TEST_P(ExclusiveOpenTest, SecondOpenersAreRefusedUntilTheClose) {
  TEVRA_REQUIRE_GUEST();
  const std::string path = GetParam() ? testing::usbPath() : testing::uartPath();
  portSetLine(8, 9600, 8, Parity::kNone, StopBits::kOne);
  ASSERT_EQ(portOpen(path, &ui_), 1) << portFailureReason();
  EXPECT_EQ(openFromOtherProcess(path, Opener::kPlain), EBUSY);
  EXPECT_EQ(openFromOtherProcess(path, Opener::kTerminal), EWOULDBLOCK);
  portClose();
  EXPECT_EQ(openFromOtherProcess(path, Opener::kPlain), 0);
  EXPECT_EQ(openFromOtherProcess(path, Opener::kTerminal), 0);
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, ExclusiveOpenTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Ftdi" : "Uart16550"; });

}  // namespace
}  // namespace tevra
