// Closing never waits on a reader that waits on the window, whatever the reader does.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/Flood.h"
#include "tests/support/PtyLine.h"
#include "tests/serial/Watchdog.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::Flood;
using testing::linePattern;
using testing::PortFixture;
using testing::PtyLine;
using testing::threadCount;
using testing::Watchdog;

// The far end sending as fast as the line takes it, until stopped.
std::string floodBytes() {
  const auto chunk = linePattern(4096);
  return {chunk.begin(), chunk.end()};
}

using PortCloseTest = PortFixture<>;

TEST_F(PortCloseTest, ClosesWhileTheReaderWaitsForTheWindowToTakeBlocks) {
  const int threadsBefore = threadCount();
  Watchdog watchdog(120s);
  PtyLine pair;
  openLine(pair.slavePath());
  ASSERT_LT(pair.sendUntilFull(0, 8 << 20), std::size_t{8 << 20});

  portClose();
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_EQ(portDeliver(ui_), 0) << "the closed line's blocks were handed over";
  EXPECT_TRUE(pair.waitFor(POLLIN, 5s)) << "the line was not let go";
  EXPECT_EQ(threadCount(), threadsBefore + 1);  // the watchdog's
}

// Idle, flooded with nobody taking the blocks, and flooded while the window
// takes them: 200 opens and closes, none of which may hang.
TEST_F(PortCloseTest, CloseNeverDeadlocksAcrossManyOpensUnderAFlood) {
  const int threadsBefore = threadCount();
  Watchdog watchdog(240s);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    PtyLine pair;
    openLine(pair.slavePath());
    switch (round % 3) {
      case 0:
        break;
      case 1: {
        Flood flood(pair.master(), floodBytes(), true);
        std::this_thread::sleep_for(2ms);
        portClose();
        break;
      }
      case 2: {
        Flood flood(pair.master(), floodBytes(), true);
        ui_.pumpFor(3ms);
        portClose();
        break;
      }
    }
    portClose();
    ASSERT_EQ(portIsOpen(), 0);
    ASSERT_EQ(portDeliver(ui_), 0);
  }
  EXPECT_GT(ui_.byteCount, 0u);
  EXPECT_EQ(threadCount(), threadsBefore + 1);  // the watchdog's
}

// What was written just before the close goes out first: at 300 baud a few keys
// take a while, and nothing of them may be thrown away.
TEST_F(PortCloseTest, BytesWrittenJustBeforeTheCloseReachTheFarEnd) {
  Watchdog watchdog(60s);
  for (const std::uint32_t baud : {300u, 115200u}) {
    SCOPED_TRACE(baud);
    PtyLine pair;
    openLine(pair.slavePath(), baud);
    const auto keys = linePattern(20, baud);
    ASSERT_EQ(portWrite(keys.data(), 12), 1);
    ASSERT_EQ(portWrite(keys.data() + 12, 8), 1);
    portClose();
    EXPECT_EQ(pair.receive(keys.size(), 5s), keys);
  }
}

// A far end that holds the line with XOFF and never lets go: the close gives up
// on what waits after about 2 s (not the kernel's 30 s), drops it, and lets the
// line go.
TEST_F(PortCloseTest, CloseOfALineHeldByXoffEndsWithinAboutTwoSeconds) {
  Watchdog watchdog(60s);
  PtyLine pair;
  openLine(pair.slavePath(), 300);
  ASSERT_TRUE(pair.send({0x13, 'x'}));  // XOFF; the marker behind it proves it was taken
  ASSERT_TRUE(ui_.pumpBytes(1));
  const auto line = linePattern(200);
  ASSERT_EQ(portWrite(line.data(), line.size()), 1);  // 12.8 s of time-out at 300 baud

  const auto start = std::chrono::steady_clock::now();
  portClose();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 1500ms) << "the close did not wait for the held bytes";
  EXPECT_LT(took, 4s) << "the close waited on the held line";
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_TRUE(pair.waitFor(POLLIN, 5s)) << "the line was not let go";

  // Opened again, the line starts with an empty output.
  PtyLine second;
  openLine(second.slavePath());
  const auto fresh = linePattern(30, 500);
  ASSERT_EQ(portWrite(fresh.data(), fresh.size()), 1);
  EXPECT_EQ(second.receive(fresh.size()), fresh);
}

TEST_F(PortCloseTest, TermClosesAnOpenPort) {
  PtyLine pair;
  openLine(pair.slavePath());
  portTerm();
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_TRUE(pair.waitFor(POLLIN, 5s)) << "the line was not let go";
}

}  // namespace
}  // namespace tevra
