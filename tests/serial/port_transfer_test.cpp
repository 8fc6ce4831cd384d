// Bytes through the open line: received blocks, back-pressure, hang-up and writes.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"
#include "tests/serial/Watchdog.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::linePattern;
using testing::PortFixture;
using testing::PtyLine;

class PortTransferTest : public PortFixture<> {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    openLine(pair_.slavePath());
  }

  PtyLine pair_;
};

TEST_F(PortTransferTest, BurstArrivesInOrderInBlocksOfAtMost511) {
  const auto burst = linePattern(1200);
  ASSERT_TRUE(pair_.send(burst));
  ASSERT_TRUE(ui_.pumpBytes(burst.size()));
  EXPECT_EQ(ui_.received, burst);
  EXPECT_GE(ui_.blockSizes.size(), 3u);
  for (int size : ui_.blockSizes) {
    EXPECT_GE(size, 1);
    EXPECT_LE(size, 511);
  }
}

TEST_F(PortTransferTest, EveryByteButXonAndXoffPassesUnchangedBothWays) {
  std::vector<std::uint8_t> everyByte;
  for (int value = 0; value < 256; ++value) {
    if (value != 0x11 && value != 0x13) everyByte.push_back(static_cast<std::uint8_t>(value));
  }
  ASSERT_TRUE(pair_.send(everyByte));
  ASSERT_TRUE(ui_.pumpBytes(everyByte.size()));
  EXPECT_EQ(ui_.received, everyByte);

  EXPECT_EQ(portWrite(everyByte.data(), everyByte.size()), 1);
  EXPECT_EQ(pair_.receive(everyByte.size()), everyByte);
}

// A window that falls behind stops the reading: the queue stays bounded, the far
// end's writes back up, and once delivery resumes every byte arrives in order.
TEST_F(PortTransferTest, StalledReceiverStopsTheReadingAndLosesNothing) {
  // A reader thread held off the processor for a while under load must not pass
  // for a stopped one, hence the long quiet time.
  const std::size_t limit = 8 << 20;
  const std::size_t sent = pair_.sendUntilFull(0, limit, 2s);
  ASSERT_LT(sent, limit) << "the reader kept reading with nobody taking the blocks";
  EXPECT_TRUE(ui_.received.empty());

  // Blocks hold whatever one read returned, so under load they may be far from
  // full: the bound is on blocks, not bytes.
  const int queued = portDeliver(ui_);
  EXPECT_EQ(queued, static_cast<int>(kPortQueueBlocks)) << "the reading stopped before the queue was full";
  EXPECT_LE(ui_.byteCount, kPortQueueBlocks * kPortBlockBytes);
  EXPECT_LT(ui_.byteCount, sent) << "the far end's writes did not back up";

  // The far end goes on sending while the window catches up.
  const std::size_t more = 50000;
  std::thread sender([&] { pair_.send(linePattern(more, sent)); });
  const bool allArrived = ui_.pumpBytes(sent + more);
  sender.join();
  ASSERT_TRUE(allArrived) << ui_.byteCount << " of " << sent + more;
  EXPECT_TRUE(ui_.received == linePattern(sent + more)) << "bytes lost or out of order";
}

// A window may hold a wake back until its next frame: more bytes add no wake
// until the queue is half full, then one more comes, and nothing is lost.
TEST_F(PortTransferTest, AWakeHeldBackIsFollowedByOneMoreOnlyWhenTheQueueIsHalfFull) {
  ASSERT_TRUE(pair_.send(linePattern(100)));
  ASSERT_TRUE(ui_.waitForWake());
  ASSERT_TRUE(pair_.send(linePattern(100, 100)));
  EXPECT_FALSE(ui_.waitForWake(300ms)) << "a few more bytes woke the window again";

  const std::size_t sent = 200 + pair_.sendUntilFull(200, 8 << 20, 2s);
  EXPECT_TRUE(ui_.waitForWake()) << "a filling queue did not wake the window";
  EXPECT_EQ(ui_.wakes(), 2u);

  portDeliver(ui_);  // the held wake's delivery
  ASSERT_TRUE(ui_.pumpBytes(sent));
  EXPECT_TRUE(ui_.received == linePattern(sent)) << "bytes lost or out of order";
}

TEST_F(PortTransferTest, HangUpIsReportedOnceAndThenCostsNoCpu) {
  const auto bytes = linePattern(300);
  ASSERT_TRUE(pair_.send(bytes));
  ASSERT_TRUE(ui_.pumpBytes(bytes.size()));
  pair_.closeMaster();
  ASSERT_TRUE(ui_.pumpUntil([&] { return ui_.errors > 0; }));

  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  ui_.pumpFor(1s);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  const auto micros = [](const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
  };
  EXPECT_LT(micros(after) - micros(before), 50000) << "the reader spins on the hung-up line";
  EXPECT_EQ(ui_.errors, 1);
  EXPECT_EQ(portIsOpen(), 1) << "closing is the window's decision";
  portClose();
  EXPECT_EQ(portDeliver(ui_), 0);
  EXPECT_EQ(ui_.errors, 1);
}

// A wake-up that comes after the port was closed and opened again must not hand
// over what the first line had queued.
TEST_F(PortTransferTest, NothingOfAClosedLineIsDeliveredAfterItsClose) {
  ASSERT_TRUE(pair_.send(std::vector<std::uint8_t>(2000, 'A')));
  ASSERT_TRUE(ui_.waitForWake()) << "nothing was queued";
  portClose();
  EXPECT_EQ(portDeliver(ui_), 0);

  PtyLine second;
  openLine(second.slavePath());
  EXPECT_EQ(portDeliver(ui_), 0);
  ASSERT_TRUE(second.send(std::vector<std::uint8_t>(100, 'B')));
  ASSERT_TRUE(ui_.pumpBytes(100));
  EXPECT_EQ(ui_.received, std::vector<std::uint8_t>(100, 'B'));
}

// The far end's XOFF holds the output: the write is taken at once, the window
// goes on, and what of it has not gone when its time-out passes is dropped;
// XON lets the next one through.
TEST_F(PortTransferTest, WriteHeldByXoffIsTakenAtOnceAndDroppedAfterItsTimeOut) {
  const std::uint8_t xoff = 0x13;
  const std::uint8_t xon = 0x11;
  // The marker behind XOFF arriving proves the line took the XOFF.
  ASSERT_TRUE(pair_.send({xoff, 'x'}));
  ASSERT_TRUE(ui_.pumpBytes(1));
  EXPECT_EQ(ui_.received, std::vector<std::uint8_t>{'x'});

  const auto held = linePattern(100);  // 100 ms of time-out at 115200 baud
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(portWrite(held.data(), held.size()), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms) << "the write waited on the line";
  ui_.pumpFor(1s);  // well past the time-out

  ASSERT_TRUE(pair_.send({xon, 'y'}));
  ASSERT_TRUE(ui_.pumpBytes(2));
  const auto freed = linePattern(50, 1000);
  EXPECT_EQ(portWrite(freed.data(), freed.size()), 1);
  // A pseudo-terminal takes nothing while stopped: only the second write arrives.
  EXPECT_EQ(pair_.receive(freed.size()), freed);
  EXPECT_TRUE(pair_.receive(1, 200ms).empty()) << "the timed-out write went out after all";
}

// A 300-baud line held by XOFF while lines are written every tick: every write
// returns at once, the output waits in a bounded queue that takes no more once
// full, and on XON everything taken goes out, in order.
TEST(PortHeldOutput, WritesReturnAtOnceAndGoOutInOrderOnXon) {
  testing::Watchdog watchdog(120s, "a write or a close hung");
  portInit();
  PtyLine pair;
  testing::UiLoop ui;
  portSetLine(1, 300, 8, Parity::kNone, StopBits::kOne);
  ASSERT_EQ(portOpen(pair.slavePath(), &ui), 1) << portFailureReason();
  ASSERT_TRUE(pair.send({0x13, 'x'}));
  ASSERT_TRUE(ui.pumpBytes(1));

  const std::size_t lineBytes = 200;
  std::vector<std::uint8_t> taken;
  auto slowest = std::chrono::steady_clock::duration::zero();
  int refused = 0;
  for (std::size_t line = 0; line < 30; ++line) {
    const auto bytes = linePattern(lineBytes, line * lineBytes);
    const auto start = std::chrono::steady_clock::now();
    const int result = portWrite(bytes.data(), bytes.size());
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    if (result == 1) {
      taken.insert(taken.end(), bytes.begin(), bytes.end());
    } else {
      ++refused;
    }
    ui.pumpFor(5ms);  // the window's other work between ticks
  }
  EXPECT_LT(slowest, 50ms) << "a write waited on the held line";
  EXPECT_EQ(taken.size(), kPortOutputBytes / lineBytes * lineBytes) << "the queue is not 4 KiB";
  EXPECT_EQ(refused, 30 - static_cast<int>(kPortOutputBytes / lineBytes));

  ASSERT_TRUE(pair.send({0x11}));
  EXPECT_TRUE(pair.receive(taken.size()) == taken) << "bytes lost or out of order";
  portTerm();
}

TEST(PortWriteTimeOut, IsNineteenThousandTwoHundredOverBaudMillisecondsPerByteAndNeverNone) {
  const struct {
    std::uint32_t baud;
    long perByte;
  } rates[] = {{300, 64}, {1200, 16}, {2400, 8},  {4800, 4},  {9600, 2},
               {14400, 1}, {19200, 1}, {38400, 1}, {57600, 1}, {115200, 1}};
  for (const auto& rate : rates) {
    SCOPED_TRACE(rate.baud);
    EXPECT_EQ(portWriteTimeoutMs(rate.baud, 1), rate.perByte);
    EXPECT_EQ(portWriteTimeoutMs(rate.baud, 300), 300 * rate.perByte);
  }
}

}  // namespace
}  // namespace tevra
