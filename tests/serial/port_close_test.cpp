// Closing never waits on a reader that waits on the window, whatever the reader does.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/serial/PtyPair.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::linePattern;
using testing::PortFixture;
using testing::PtyPair;
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

// The far end sending as fast as the line takes it, until stopped or hung up.
class Flood {
 public:
  explicit Flood(const PtyPair& pair)
      : thread_([this, &pair] {
          const auto chunk = linePattern(4096);
          while (!stop_.load()) {
            if (::write(pair.master(), chunk.data(), chunk.size()) < 0 && errno == EAGAIN) {
              pollfd room{pair.master(), POLLOUT, 0};
              if (::poll(&room, 1, 10) > 0 && (room.revents & (POLLHUP | POLLERR)) != 0) break;
            }
          }
        }) {}
  ~Flood() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

using PortCloseTest = PortFixture<>;

TEST_F(PortCloseTest, ClosesWhileTheReaderWaitsForTheWindowToTakeBlocks) {
  const int threadsBefore = threadCount();
  Watchdog watchdog(120s);
  PtyPair pair;
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
    PtyPair pair;
    openLine(pair.slavePath());
    switch (round % 3) {
      case 0:
        break;
      case 1: {
        Flood flood(pair);
        std::this_thread::sleep_for(2ms);
        portClose();
        break;
      }
      case 2: {
        Flood flood(pair);
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
  PtyPair pair;
  openLine(pair.slavePath());
  portTerm();
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_TRUE(pair.waitFor(POLLIN, 5s)) << "the line was not let go";
}

}  // namespace
}  // namespace tevra
