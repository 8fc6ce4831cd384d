// Bytes through the open line: received blocks, back-pressure, hang-up and writes.

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"

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

// The far end's XOFF holds the output; a write then gives up after its time-out
// instead of freezing the window, and XON lets the next one through.
TEST_F(PortTransferTest, WriteHeldByXoffReturnsZeroAfterItsTimeOut) {
  const std::uint8_t xoff = 0x13;
  const std::uint8_t xon = 0x11;
  // The marker behind XOFF arriving proves the line took the XOFF.
  ASSERT_TRUE(pair_.send({xoff, 'x'}));
  ASSERT_TRUE(ui_.pumpBytes(1));
  EXPECT_EQ(ui_.received, std::vector<std::uint8_t>{'x'});

  const auto held = linePattern(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(portWrite(held.data(), held.size()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the write hung";

  ASSERT_TRUE(pair_.send({xon, 'y'}));
  ASSERT_TRUE(ui_.pumpBytes(2));
  const auto freed = linePattern(50, 1000);
  EXPECT_EQ(portWrite(freed.data(), freed.size()), 1);
  // A pseudo-terminal takes nothing while stopped: only the second write arrives.
  EXPECT_EQ(pair_.receive(freed.size()), freed);
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
