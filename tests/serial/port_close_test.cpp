// Closing never waits on a reader that waits on the window, whatever the reader does.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/Flood.h"
#include "tests/support/PtyLine.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::Flood;
using testing::linePattern;
using testing::PortFixture;
using testing::PtyLine;
using testing::threadCount;

// Ends the process with a failure if the test is still running after `limit`,
// so a deadlock fails the run instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: still running after %llds, a close deadlocked\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(EXIT_FAILURE);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    finished_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;
};

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

TEST_F(PortCloseTest, TermClosesAnOpenPort) {
  PtyLine pair;
  openLine(pair.slavePath());
  portTerm();
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_TRUE(pair.waitFor(POLLIN, 5s)) << "the line was not let go";
}

}  // namespace
}  // namespace tevra
