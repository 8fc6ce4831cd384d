// Line settings as the far side of the line sees them once the engine opened it.

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"

namespace tevra {
namespace {

using testing::PortFixture;
using testing::PtyLine;

struct LineCase {
  std::uint32_t baud;
  std::uint8_t stopBits;
};

class LineSettingsTest : public PortFixture<::testing::TestWithParam<LineCase>> {
 protected:
  PtyLine pair_;
};

TEST_P(LineSettingsTest, RateFramingAndRawXonXoffReachTheDevice) {
  const LineCase line = GetParam();
  // Opened before the engine's exclusive open, to read the line's state afterwards.
  const int observer = ::open(pair_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(observer, 0);
  portSetLine(3, line.baud, 8, Parity::kNone, static_cast<StopBits>(line.stopBits));
  ASSERT_EQ(portOpen(pair_.slavePath(), &ui_), 1) << portFailureReason();

  termios2 state{};
  ASSERT_EQ(::ioctl(observer, TCGETS2, &state), 0);
  ::close(observer);

  EXPECT_EQ(state.c_ospeed, line.baud);
  EXPECT_EQ(state.c_ispeed, line.baud);
  EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(state.c_cflag & (PARENB | CMSPAR), 0u);
  EXPECT_EQ((state.c_cflag & CSTOPB) != 0, line.stopBits == 2);
  EXPECT_EQ(state.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(state.c_cflag & CRTSCTS, 0u);

  // Raw bytes: no translation, no bit stripping, no 0xFF doubling, no signals, no echo.
  EXPECT_EQ(state.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | IXANY | INPCK), 0u);
  EXPECT_EQ(state.c_oflag & OPOST, 0u);
  EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(state.c_cc[VMIN], 1);
  EXPECT_EQ(state.c_cc[VTIME], 0);

  EXPECT_EQ(state.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(state.c_cc[VSTART], 0x11);
  EXPECT_EQ(state.c_cc[VSTOP], 0x13);
}

std::vector<LineCase> everyRateAndStopBits() {
  std::vector<LineCase> cases;
  for (std::uint32_t baud : {300u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 57600u,
                             115200u}) {
    for (std::uint8_t stopBits : {0, 2}) cases.push_back({baud, stopBits});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryRate, LineSettingsTest, ::testing::ValuesIn(everyRateAndStopBits()),
                         [](const auto& info) {
                           return std::to_string(info.param.baud) + "_stop" +
                                  (info.param.stopBits == 2 ? "2" : "1");
                         });

struct UnkeptCase {
  const char* name;
  std::uint32_t baud;
  std::uint8_t dataBits;
  std::uint8_t parity;
  std::uint8_t stopBits;
  const char* described;
};

class UnkeptLineTest : public PortFixture<::testing::TestWithParam<UnkeptCase>> {
 protected:
  PtyLine pair_;
};

// A pseudo-terminal keeps only 8 bits without parity: anything else must fail the
// open rather than run the line with framing other than asked. Out-of-range codes too.
TEST_P(UnkeptLineTest, FailsTheOpenAndSaysWhy) {
  const UnkeptCase line = GetParam();
  portSetLine(2, line.baud, line.dataBits, static_cast<Parity>(line.parity),
              static_cast<StopBits>(line.stopBits));
  EXPECT_EQ(portOpen(pair_.slavePath(), &ui_), 0);
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_EQ(portFailureReason(),
            pair_.slavePath() + ": line settings not supported (" + line.described + ")");
}

INSTANTIATE_TEST_SUITE_P(
    PseudoTerminal, UnkeptLineTest,
    ::testing::Values(
        UnkeptCase{"SevenEvenOne", 9600, 7, 2, 0, "7 data bits, even parity, 1 stop bit, 9600 baud"},
        UnkeptCase{"SevenNoneOne", 9600, 7, 0, 0, "7 data bits, no parity, 1 stop bit, 9600 baud"},
        UnkeptCase{"FiveNoneTwo", 300, 5, 0, 2, "5 data bits, no parity, 2 stop bits, 300 baud"},
        UnkeptCase{"EightOdd", 115200, 8, 1, 0, "8 data bits, odd parity, 1 stop bit, 115200 baud"},
        UnkeptCase{"EightMark", 14400, 8, 3, 0, "8 data bits, mark parity, 1 stop bit, 14400 baud"},
        UnkeptCase{"EightSpace", 19200, 8, 4, 2,
                   "8 data bits, space parity, 2 stop bits, 19200 baud"},
        UnkeptCase{"NineBits", 9600, 9, 0, 0, "9 data bits, no parity, 1 stop bit, 9600 baud"},
        UnkeptCase{"OneAndAHalfStopBits", 9600, 8, 0, 1,
                   "8 data bits, no parity, stop bits code 1, 9600 baud"},
        UnkeptCase{"ZeroBaud", 0, 8, 0, 0, "8 data bits, no parity, 1 stop bit, 0 baud"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tevra
