// Line settings on the kernel's real drivers: every framing a driver keeps is
// what the line runs with after the open; one it cannot keep fails the open and
// says why, rather than running the line with other framing than asked.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/vm/GuestLine.h"

namespace tevra {
namespace {

using testing::GuestLine;
using testing::PortFixture;

enum class Driver { kUart, kUsb };

std::string devicePath(Driver driver) {
  return driver == Driver::kUart ? testing::uartPath() : testing::usbPath();
}

const char* driverName(Driver driver) { return driver == Driver::kUart ? "Uart16550" : "Ftdi"; }

struct Framing {
  Driver driver;
  std::uint8_t dataBits;
  Parity parity;
  StopBits stopBits;
  std::uint32_t baud = 9600;
  const char* described = "";  // how a refusal names it
};

constexpr tcflag_t kSizeFlags[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kParityFlags[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                     PARENB | CMSPAR};

std::string framingName(const Framing& framing) {
  static const char* const kParity[] = {"None", "Odd", "Even", "Mark", "Space"};
  return std::string(driverName(framing.driver)) + "_" + std::to_string(framing.dataBits) +
         kParity[static_cast<int>(framing.parity)] + (framing.stopBits == StopBits::kTwo ? "2" : "1") +
         "_" +
         std::to_string(framing.baud);
}

class KeptFramingTest : public PortFixture<::testing::TestWithParam<Framing>> {};

TEST_P(KeptFramingTest, TheLineRunsWithTheFramingAsked) {
  TEVRA_REQUIRE_GUEST();
  const Framing framing = GetParam();
  const std::string path = devicePath(framing.driver);
  portSetLine(5, framing.baud, framing.dataBits, framing.parity, framing.stopBits);
  ASSERT_EQ(portOpen(path, &ui_), 1) << portFailureReason();

  // Root in the guest may open beside the engine's exclusive hold.
  GuestLine observer(path);
  ASSERT_GE(observer.fd(), 0);
  const termios2 state = observer.state();
  EXPECT_EQ(state.c_cflag & CSIZE, kSizeFlags[framing.dataBits - 5]);
  EXPECT_EQ(state.c_cflag & (PARENB | PARODD | CMSPAR), kParityFlags[static_cast<int>(framing.parity)]);
  EXPECT_EQ((state.c_cflag & CSTOPB) != 0, framing.stopBits == StopBits::kTwo);
  EXPECT_EQ(state.c_ospeed, framing.baud);
  EXPECT_EQ(state.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ((state.c_iflag & INPCK) != 0, framing.parity != Parity::kNone);
  EXPECT_EQ(state.c_iflag & (PARMRK | ISTRIP), 0u);
}

std::vector<Framing> everyFramingKept() {
  std::vector<Framing> framings;
  for (const Driver driver : {Driver::kUart, Driver::kUsb}) {
    // ftdi_sio has no 5- or 6-bit words.
    const std::uint8_t smallest = driver == Driver::kUart ? 5 : 7;
    for (std::uint8_t bits = smallest; bits <= 8; ++bits) {
      for (const Parity parity :
           {Parity::kNone, Parity::kOdd, Parity::kEven, Parity::kMark, Parity::kSpace}) {
        for (const StopBits stop : {StopBits::kOne, StopBits::kTwo}) {
          framings.push_back({driver, bits, parity, stop});
        }
      }
    }
  }
  return framings;
}

INSTANTIATE_TEST_SUITE_P(RealDrivers, KeptFramingTest, ::testing::ValuesIn(everyFramingKept()),
                         [](const auto& info) { return framingName(info.param); });

class RefusedFramingTest : public PortFixture<::testing::TestWithParam<Framing>> {};

TEST_P(RefusedFramingTest, FailsTheOpenAndSaysWhy) {
  TEVRA_REQUIRE_GUEST();
  const Framing framing = GetParam();
  const std::string path = devicePath(framing.driver);
  const int threadsBefore = testing::threadCount();
  const int fdsBefore = testing::openFdCount();
  portSetLine(5, framing.baud, framing.dataBits, framing.parity, framing.stopBits);
  EXPECT_EQ(portOpen(path, &ui_), 0);
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_EQ(portFailureReason(),
            path + ": line settings not supported (" + framing.described + ")");
  EXPECT_EQ(testing::threadCount(), threadsBefore);
  EXPECT_EQ(testing::openFdCount(), fdsBefore);

  // The refused open took neither the lock nor the line: the next one succeeds.
  portSetLine(5, 9600, 8, Parity::kNone, StopBits::kOne);
  EXPECT_EQ(portOpen(path, &ui_), 1) << portFailureReason();
}

INSTANTIATE_TEST_SUITE_P(
    RealDrivers, RefusedFramingTest,
    ::testing::Values(
        Framing{Driver::kUsb, 5, Parity::kNone, StopBits::kOne, 9600,
                "5 data bits, no parity, 1 stop bit, 9600 baud"},
        Framing{Driver::kUsb, 6, Parity::kEven, StopBits::kTwo, 9600,
                "6 data bits, even parity, 2 stop bits, 9600 baud"},
        // The 8250 driver falls back to 9600 for a rate beyond its clock.
        Framing{Driver::kUart, 8, Parity::kNone, StopBits::kOne, 250000,
                "8 data bits, no parity, 1 stop bit, 250000 baud"}),
    [](const auto& info) { return framingName(info.param); });

}  // namespace
}  // namespace tevra
