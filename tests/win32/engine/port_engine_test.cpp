// The Windows port engine on a COM port whose device is a pseudo-terminal on
// the Linux side: farend.py maps the port, plays the line's far end and
// unplugs and replugs the device when the suite asks it to (the suite's
// standard output and input carry the requests and answers).

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/UiLoop.h"
#include "tests/support/LinePattern.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::linePattern;
using testing::UiLoop;

// The line's far end, as farend.py plays it.
class FarEnd {
 public:
  void send(const std::vector<std::uint8_t>& bytes) { ask("send " + hex(bytes)); }
  std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds within = 5s) {
    return unhex(ask("receive " + std::to_string(count) + " " + std::to_string(within.count())));
  }
  void hangUp() { ask("hangup"); }
  void plugIn() { ask("plug"); }
  // Whether any process holds the device (under Wine the program and its server both do).
  bool held() { return std::atoi(ask("holders").c_str()) > 0; }
  long speed() { return std::atol(ask("speed").c_str()); }

 private:
  std::string ask(const std::string& request) {
    std::fflush(stdout);
    std::cout << "@@far " << request << std::endl;
    std::string reply;
    std::getline(std::cin, reply);
    while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.pop_back();
    EXPECT_EQ(reply.rfind("ok", 0), 0u) << request << ": " << reply;
    return reply.size() > 3 ? reply.substr(3) : std::string();
  }

  static std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
    return text;
  }

  static std::vector<std::uint8_t> unhex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
  }
};

// CPU time the whole process has used, in microseconds.
long processCpuMicros() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto micros = [](const FILETIME& time) {
    return static_cast<long>(((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) /
                             10);
  };
  return micros(kernel) + micros(user);
}

class Win32PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("TEVRA_ENGINE_PORT");
    ASSERT_NE(port, nullptr) << "run through farend.py";
    device_ = std::string("\\\\.\\") + port;
    portInit();
  }
  void TearDown() override { portTerm(); }

  void open(std::uint32_t baud = 115200) {
    portSetLine(9, baud, 8, Parity::kNone, StopBits::kOne);
    ASSERT_EQ(portOpen(device_, &ui_), 1) << portFailureReason();
  }

  // Answers the engine's wake-ups until `done` holds; false if it did not within `limit`.
  bool within(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto start = Clock::now();
    while (!done()) {
      if (Clock::now() - start > limit) return false;
      ui_.pumpFor(20ms);
    }
    return true;
  }

  // Bytes both ways, with no call but reads and writes.
  void expectTraffic(std::size_t offset) {
    const auto inbound = linePattern(1500, offset);
    const std::size_t before = ui_.received.size();
    far_.send(inbound);
    ASSERT_TRUE(ui_.pumpBytes(before + inbound.size(), 5s)) << "nothing received";
    EXPECT_TRUE(std::vector<std::uint8_t>(ui_.received.begin() + before, ui_.received.end()) == inbound);
    const auto outbound = linePattern(700, offset + 7);
    EXPECT_EQ(portWrite(outbound.data(), outbound.size()), 1);
    EXPECT_EQ(far_.receive(outbound.size()), outbound) << "nothing sent";
  }

  std::string device_;
  UiLoop ui_;
  FarEnd far_;
};

TEST_F(Win32PortTest, OpensTheLineAndCarriesBytesBothWays) {
  open(19200);
  EXPECT_TRUE(far_.held());
  EXPECT_EQ(far_.speed(), 19200) << "the line's rate was not applied";
  expectTraffic(0);
  expectTraffic(300);
  EXPECT_EQ(ui_.errors, 0);

  portClose();
  EXPECT_FALSE(far_.held());

  // A port with no device fails with the reason, and leaves the port closed.
  const std::string missing = "\\\\.\\COM63";
  EXPECT_EQ(portOpen(missing, &ui_), 0);
  EXPECT_EQ(portFailureReason().rfind(missing + ": ", 0), 0u) << portFailureReason();
  EXPECT_EQ(portIsOpen(), 0);
}

TEST_F(Win32PortTest, CloseWakesAnIdleReaderAtOnceAndReleasesTheLine) {
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    open();
    const long cpuBefore = processCpuMicros();
    ui_.pumpFor(700ms);  // past the reader's first look at the line
    EXPECT_LT(processCpuMicros() - cpuBefore, 50000) << "an idle reader spins";
    const auto start = Clock::now();
    portClose();
    EXPECT_LT(Clock::now() - start, 300ms) << "the close waited for the reader";
    EXPECT_EQ(portIsOpen(), 0);
    EXPECT_FALSE(far_.held()) << "the line is still held";
  }
}

TEST_F(Win32PortTest, LetsTheLineGoAtAHangUpAndTakesItBackWhenItReturns) {
  open(19200);
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    expectTraffic(static_cast<std::size_t>(round) * 1000);

    far_.hangUp();
    const auto hungUp = Clock::now();
    ASSERT_TRUE(within([&] { return ui_.errors == round; }, 2s)) << "the hang-up was not reported";
    ASSERT_TRUE(within([&] { return !far_.held(); }, 1s)) << "the dead line is still held";
    const auto letGo = Clock::now() - hungUp;
    EXPECT_EQ(portIsOpen(), 1) << "closing is the window's decision";
    const std::uint8_t key = 'k';
    EXPECT_EQ(portWrite(&key, 1), 0) << "a write while the line is down";

    // Waiting for the device costs next to nothing.
    const long cpuBefore = processCpuMicros();
    ui_.pumpFor(600ms);
    EXPECT_LT(processCpuMicros() - cpuBefore, 50000) << "the reader spins while it waits";

    far_.plugIn();
    const auto pluggedIn = Clock::now();
    ASSERT_TRUE(within([&] { return far_.held(); }, 2s)) << "the device back was not taken";
    std::cout << "round " << round << ": let go "
              << std::chrono::duration_cast<std::chrono::milliseconds>(letGo).count()
              << " ms after the hang-up, reopened "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pluggedIn).count()
              << " ms after the device came back\n";
    EXPECT_EQ(far_.speed(), 19200) << "the reopened line lost its rate";
  }
  expectTraffic(5000);
  ui_.pumpFor(100ms);
  EXPECT_EQ(ui_.errors, 2) << "one report per hang-up";
}

TEST_F(Win32PortTest, CloseEndsTheWaitForALostDeviceAtOnce) {
  open();
  far_.hangUp();
  ASSERT_TRUE(within([&] { return ui_.errors == 1 && !far_.held(); }, 2s));
  ui_.pumpFor(100ms);  // well into the wait
  const auto start = Clock::now();
  portClose();
  EXPECT_LT(Clock::now() - start, 300ms) << "the wait ended only at its tick";
  EXPECT_EQ(portIsOpen(), 0);

  // The wait is over: the device coming back is left alone.
  far_.plugIn();
  Sleep(800);
  EXPECT_FALSE(far_.held());
}

TEST_F(Win32PortTest, AWriteHeldByAFullLineDoesNotHoldUpTheHangUp) {
  open();
  // The far end reads nothing: the driver fills, the writer waits, the queue fills.
  const auto block = linePattern(4000);
  const auto start = Clock::now();
  while (portWrite(block.data(), block.size()) == 1) {
    ASSERT_LT(Clock::now() - start, 5s) << "the line never filled";
    ui_.pumpFor(20ms);
  }
  far_.hangUp();
  ASSERT_TRUE(within([&] { return ui_.errors == 1 && !far_.held(); }, 1s)) << "the held write kept the line";
  far_.plugIn();
  ASSERT_TRUE(within([&] { return far_.held(); }, 2s)) << "the device back was not taken";
  expectTraffic(0);
}

}  // namespace
}  // namespace tevra
