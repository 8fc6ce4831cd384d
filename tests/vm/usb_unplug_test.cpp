// The FTDI adapter pulled out while the engine takes a flood from it: the window
// hears of it once, the reader does not spin on the dead line, the UI thread keeps
// its turns short throughout, and once closed the adapter put back opens again.
// Put back while the port is still open, it keeps its name and the engine takes
// it up again by itself.

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/LineLink.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"
#include "tests/vm/GuestLine.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::GuestLine;
using testing::HostControl;
using testing::linePattern;
using testing::PortFixture;

long millisSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits for `path` to exist (or, with `present` false, to be gone); the time it took, or -1.
long waitForNode(const std::string& path, bool present, std::chrono::milliseconds patience) {
  const auto start = Clock::now();
  while ((::access(path.c_str(), F_OK) == 0) != present) {
    if (Clock::now() - start > patience) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return millisSince(start);
}

// The UART's end sending as fast as the null modem takes it, until stopped.
class Flood {
 public:
  explicit Flood(const GuestLine& line)
      : thread_([this, &line] {
          const auto chunk = linePattern(4096);
          while (!stop_.load()) {
            if (::write(line.fd(), chunk.data(), chunk.size()) < 0) line.waitFor(POLLOUT, 20ms);
          }
        }) {}
  ~Flood() { stop(); }
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class UsbUnplugTest : public PortFixture<> {
 protected:
  // Answers wake-ups in turns of 20 ms until `done`, keeping the longest turn.
  template <typename Done>
  bool pumpInTurns(Done done, std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      const auto turn = Clock::now();
      ui_.pumpFor(20ms);
      longestTurnMs_ = std::max(longestTurnMs_, millisSince(turn));
    }
    return true;
  }

  // Fresh bytes both ways between the engine's line and the UART. The null modem
  // may still hold flood bytes from before: what was sent now comes last. What
  // the new node received before the open switched it to raw mode, its default
  // line discipline echoed back: the far end drops that first.
  void expectTrafficBothWays(const GuestLine& uart, std::size_t offset) {
    ui_.pumpFor(300ms);
    ASSERT_EQ(::ioctl(uart.fd(), TCFLSH, TCIFLUSH), 0);
    const auto fresh = linePattern(2000, offset);
    const std::size_t before = ui_.received.size();
    ASSERT_TRUE(uart.send(fresh));
    ASSERT_TRUE(ui_.pumpBytes(before + fresh.size(), 20s));
    ASSERT_TRUE(ui_.pumpUntil(
        [&] {
          return ui_.received.size() >= fresh.size() &&
                 std::equal(fresh.begin(), fresh.end(), ui_.received.end() - static_cast<long>(fresh.size()));
        },
        5s));
    EXPECT_EQ(portWrite(fresh.data(), fresh.size()), 1);
    EXPECT_EQ(uart.receive(fresh.size()), fresh);
  }

  long longestTurnMs_ = 0;
};

TEST_F(UsbUnplugTest, UnplugMidFloodIsReportedOnceAndCostsNothingAfter) {
  TEVRA_REQUIRE_GUEST();
  const std::string usb = testing::usbPath();
  GuestLine uart(testing::uartPath());
  ASSERT_TRUE(uart.setRaw(115200));
  openLine(usb);

  HostControl host;
  Flood flood(uart);
  ASSERT_TRUE(pumpInTurns([&] { return ui_.byteCount > 50000; }, 30s)) << ui_.byteCount;

  const auto pulled = Clock::now();
  auto unplug = std::async(std::launch::async, [&] { return host.request("unplug"); });
  ASSERT_TRUE(pumpInTurns([&] { return ui_.errors > 0; }, 10s)) << "no error reported";
  const long reportedMs = millisSince(pulled);
  ASSERT_EQ(unplug.get(), "unplugged");
  flood.stop();

  // The dead line reports POLLHUP for ever: a reader that kept watching it would spin.
  const long cpuBefore = testing::processCpuMicros();
  ASSERT_FALSE(pumpInTurns([] { return false; }, 1s));
  const long idleCpu = testing::processCpuMicros() - cpuBefore;
  EXPECT_LT(idleCpu, 200000) << "the reader spins on the unplugged line";  // a spin costs ~1 s
  EXPECT_EQ(ui_.errors, 1);
  EXPECT_LT(longestTurnMs_, 1000) << "the UI thread was held up";
  EXPECT_EQ(portIsOpen(), 1) << "closing is the window's decision";
  EXPECT_EQ(portWrite(linePattern(10).data(), 10), 0) << "a write to the dead line succeeded";
  EXPECT_EQ(::access(usb.c_str(), F_OK), -1) << "the node outlived the adapter";

  const auto closing = Clock::now();
  portClose();
  const long closeMs = millisSince(closing);
  EXPECT_LT(closeMs, 1000);
  EXPECT_EQ(portDeliver(ui_), 0);

  // Put back with nothing holding the old descriptor, the adapter takes its old name.
  const auto plugged = Clock::now();
  ASSERT_EQ(host.request("plug"), "plugged");
  const long nodeMs = waitForNode(usb, true, 10s);
  ASSERT_GE(nodeMs, 0) << usb << " did not come back";
  const long backMs = millisSince(plugged);
  std::printf("unplug: error reported after %ld ms; reader CPU after it %ld us/s; longest UI turn "
              "%ld ms; close %ld ms; replug: %s back after %ld ms\n",
              reportedMs, idleCpu, longestTurnMs_, closeMs, usb.c_str(), backMs);

  // The replugged adapter carries the traffic again once opened.
  openLine(usb);
  expectTrafficBothWays(uart, 7);
}

// The engine lets the dead descriptor go at once, so the adapter put back is
// /dev/ttyUSB0 again, and the reader reopens it: no call from the test.
TEST_F(UsbUnplugTest, PutBackWhileOpenItKeepsItsNameAndTheTrafficResumes) {
  TEVRA_REQUIRE_GUEST();
  const std::string usb = testing::usbPath();
  GuestLine uart(testing::uartPath());
  ASSERT_TRUE(uart.setRaw(115200));
  openLine(usb);

  HostControl host;
  std::optional<Flood> flood;
  flood.emplace(uart);
  ASSERT_TRUE(pumpInTurns([&] { return ui_.byteCount > 50000; }, 30s)) << ui_.byteCount;

  const auto pulled = Clock::now();
  auto unplug = std::async(std::launch::async, [&] { return host.request("unplug"); });
  ASSERT_TRUE(pumpInTurns([&] { return testing::descriptorsOn(usb) == 0; }, 10s))
      << "the dead descriptor is still held";
  const long letGoMs = millisSince(pulled);
  ASSERT_EQ(unplug.get(), "unplugged");
  EXPECT_LT(letGoMs, 1000);
  ASSERT_TRUE(pumpInTurns([&] { return ui_.errors > 0; }, 5s)) << "no error reported";
  EXPECT_EQ(portIsOpen(), 1) << "closing is the window's decision";

  // Waiting for the adapter costs next to nothing (a spin costs ~1 s). The
  // flood pauses meanwhile: its writes to the UART cost CPU of their own.
  flood.reset();
  const long cpuBefore = testing::processCpuMicros();
  ASSERT_FALSE(pumpInTurns([] { return false; }, 1s));
  const long waitingCpu = testing::processCpuMicros() - cpuBefore;
  EXPECT_LT(waitingCpu, 200000) << "the reader spins while it waits for the adapter";
  flood.emplace(uart);

  // Put back mid-flood: the first flood byte received is the reconnect.
  const std::size_t beforePlug = ui_.byteCount;
  const auto plugged = Clock::now();
  auto plug = std::async(std::launch::async, [&] { return host.request("plug"); });
  long nodeMs = -1;
  long heldMs = -1;
  ASSERT_TRUE(pumpInTurns(
      [&] {
        if (nodeMs < 0 && ::access(usb.c_str(), F_OK) == 0) nodeMs = millisSince(plugged);
        if (heldMs < 0 && testing::descriptorsOn(usb) == 1) heldMs = millisSince(plugged);
        return ui_.byteCount > beforePlug;
      },
      15s))
      << "nothing received after the adapter came back";
  const long firstByteMs = millisSince(plugged);
  ASSERT_EQ(plug.get(), "plugged");
  EXPECT_EQ(testing::descriptorsOn(usb), 1);
  EXPECT_EQ(::access("/dev/ttyUSB1", F_OK), -1) << "the adapter came back under another name";
  flood.reset();
  std::printf("reconnect: let go %ld ms after the unplug; reader CPU while waiting %ld us/s; "
              "replug: %s back after %ld ms, reopened after %ld ms, first byte received after "
              "%ld ms\n",
              letGoMs, waitingCpu, usb.c_str(), nodeMs, heldMs, firstByteMs);

  expectTrafficBothWays(uart, 11);
  EXPECT_EQ(ui_.errors, 1);
}

}  // namespace
}  // namespace tevra
