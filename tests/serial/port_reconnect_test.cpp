// A line that hangs up is let go at once and taken up again when its device
// comes back under the same name, with no call from the window; Close and a
// new open end the wait at any moment.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/LineLink.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::descriptorsOn;
using testing::linePattern;
using testing::LineLink;
using testing::PortFixture;
using testing::processCpuMicros;
using testing::PtyLine;
using testing::threadCount;

class PortReconnectTest : public PortFixture<> {
 protected:
  // Answers the engine's wake-ups until `done` holds; how long that took, or
  // -1 ms if it did not within `limit`.
  std::chrono::milliseconds within(const std::function<bool()>& done,
                                   std::chrono::milliseconds limit = 1s) {
    const auto start = Clock::now();
    while (!done()) {
      if (Clock::now() - start > limit) return -1ms;
      ui_.pumpFor(2ms);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  // The far end goes away, and with it the name the link gave it. The name
  // goes first: a pseudo-terminal's number, once free, may be handed to a line
  // of another test running meanwhile, which the engine's reopen must not find.
  void hangUp(PtyLine& pair) {
    link_.pointNowhere();
    pair.closeMaster();
  }

  // Bytes both ways over `pair`, without any call but reads and writes.
  void expectTraffic(const PtyLine& pair, std::size_t offset) {
    const auto inbound = linePattern(1500, offset);
    const std::size_t before = ui_.received.size();
    ASSERT_TRUE(pair.send(inbound));
    ASSERT_TRUE(ui_.pumpBytes(before + inbound.size(), 5s)) << "nothing received";
    EXPECT_TRUE(std::vector<std::uint8_t>(ui_.received.begin() + before, ui_.received.end()) ==
                inbound);
    const auto outbound = linePattern(700, offset + 7);
    EXPECT_EQ(portWrite(outbound.data(), outbound.size()), 1);
    EXPECT_EQ(pair.receive(outbound.size(), 5s), outbound) << "nothing sent";
  }

  LineLink link_;
};

TEST_F(PortReconnectTest, LetsTheLineGoAtAHangUpAndTakesItBackWhenItReturns) {
  auto pair = std::make_unique<PtyLine>();
  link_.pointTo(pair->slavePath());
  openLine(link_.path());
  int threads = -1;

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    expectTraffic(*pair, static_cast<std::size_t>(round) * 1000);
    if (threads < 0) threads = threadCount();  // the reader, and the writer the first write started
    const std::string oldSlave = pair->slavePath();
    ASSERT_EQ(descriptorsOn(oldSlave), 1);

    hangUp(*pair);
    const auto letGo = within([&] { return descriptorsOn(oldSlave) == 0; });
    ASSERT_GE(letGo.count(), 0) << "the dead line is still held";
    ASSERT_GE(within([&] { return ui_.errors == round; }).count(), 0);
    EXPECT_EQ(portIsOpen(), 1) << "closing is the window's decision";

    // A write while the line is down goes nowhere, not even into a file that
    // was given the freed descriptor number.
    const std::string bystanderPath = link_.folder() + "/bystander";
    const int bystander = ::open(bystanderPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(bystander, 0);
    const std::uint8_t key = 'k';
    EXPECT_EQ(portWrite(&key, 1), 0);
    struct stat written {};
    ::fstat(bystander, &written);
    EXPECT_EQ(written.st_size, 0);
    ::close(bystander);

    // Waiting for the device costs next to nothing.
    const long cpuBefore = processCpuMicros();
    ui_.pumpFor(1s);
    const long waitingCpu = processCpuMicros() - cpuBefore;
    EXPECT_LT(waitingCpu, 50000) << "the reader spins while it waits";

    pair = std::make_unique<PtyLine>();
    link_.pointTo(pair->slavePath());
    const auto reopened = within([&] { return descriptorsOn(pair->slavePath()) == 1; });
    ASSERT_GE(reopened.count(), 0) << "the device back was not taken within 1 s";
    std::cout << "round " << round << ": let go " << letGo.count() << " ms after the hang-up, "
              << "reopened " << reopened.count() << " ms after the device came back, "
              << waitingCpu << " us CPU in 1 s of waiting\n";
    EXPECT_EQ(threadCount(), threads) << "one reader throughout";
  }
  expectTraffic(*pair, 5000);
  ui_.pumpFor(100ms);
  EXPECT_EQ(ui_.errors, 2) << "one report per hang-up";
}

TEST_F(PortReconnectTest, CloseOrAnotherOpenEndsTheWaitAtOnce) {
  for (const bool closeIt : {true, false}) {
    SCOPED_TRACE(closeIt ? "Close" : "Settings, OK with another port");
    PtyLine first;
    link_.pointTo(first.slavePath());
    openLine(link_.path());
    const int threadsOpen = threadCount();
    const std::string firstSlave = first.slavePath();
    hangUp(first);
    ASSERT_GE(within([&] { return descriptorsOn(firstSlave) == 0; }).count(), 0);
    ui_.pumpFor(100ms);  // well into the wait

    PtyLine other;
    const auto start = Clock::now();
    if (closeIt) {
      portClose();
      EXPECT_EQ(portIsOpen(), 0);
      EXPECT_EQ(threadCount(), threadsOpen - 1);
    } else {
      openLine(other.slavePath());
      EXPECT_EQ(threadCount(), threadsOpen);
    }
    EXPECT_LT(Clock::now() - start, 300ms) << "the wait ended only at its tick";

    // The wait is over: the old name coming back is left alone.
    PtyLine back;
    link_.pointTo(back.slavePath());
    ui_.pumpFor(800ms);
    EXPECT_EQ(descriptorsOn(back.slavePath()), 0);
    if (!closeIt) expectTraffic(other, 300);
    portClose();
  }
}

// The name back but the device not usable yet: the wait goes on, quietly, and
// takes the device once it can.
TEST_F(PortReconnectTest, ADeviceBackButNotUsableIsTakenOnceItIs) {
  struct Obstacle {
    const char* name;
    std::function<void(const PtyLine& pair)> put;     // the device back, unusable
    std::function<void(const PtyLine& pair)> remove;  // usable now
    int othersHolding;                                // descriptors the test keeps on it
  };
  int holder = -1;
  const Obstacle obstacles[] = {
      {"locked by another program",
       [&](const PtyLine& pair) {
         holder = ::open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
         ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
         link_.pointTo(pair.slavePath());
       },
       // Unlocked, not closed: no change the system announces, only the tick finds it.
       [&](const PtyLine&) { ASSERT_EQ(::flock(holder, LOCK_UN), 0); }, 1},
      {"not a serial line yet",
       [&](const PtyLine&) {
         const std::string plain = link_.folder() + "/plain";
         std::fclose(std::fopen(plain.c_str(), "w"));
         link_.pointTo(plain);
       },
       [&](const PtyLine& pair) { link_.pointTo(pair.slavePath()); }, 0},
  };
  for (const Obstacle& obstacle : obstacles) {
    SCOPED_TRACE(obstacle.name);
    ui_.errors = 0;
    PtyLine first;
    link_.pointTo(first.slavePath());
    openLine(link_.path());
    hangUp(first);
    ASSERT_GE(within([&] { return ui_.errors == 1; }).count(), 0);

    PtyLine next;
    obstacle.put(next);
    ui_.pumpFor(1200ms);
    EXPECT_EQ(descriptorsOn(next.slavePath()), obstacle.othersHolding) << "taken while unusable";
    EXPECT_EQ(descriptorsOn(link_.folder() + "/plain"), 0);
    EXPECT_EQ(portIsOpen(), 1);

    obstacle.remove(next);
    const auto taken =
        within([&] { return descriptorsOn(next.slavePath()) == obstacle.othersHolding + 1; });
    EXPECT_GE(taken.count(), 0) << "not taken within 1 s of becoming usable";
    if (taken.count() >= 0) expectTraffic(next, 900);
    EXPECT_EQ(ui_.errors, 1) << "a failed reopen was reported";
    portClose();
    if (holder >= 0) ::close(holder);
    holder = -1;
  }
}

// A pseudo-terminal named by its own /dev/pts/N is let go, but that name will
// go to the next, unrelated pair: it is never reopened.
TEST_F(PortReconnectTest, ABarePseudoTerminalIsLetGoAndItsNumberLeftToOthers) {
  auto pair = std::make_unique<PtyLine>();
  const std::string slave = pair->slavePath();
  openLine(slave);
  pair.reset();
  ASSERT_GE(within([&] { return descriptorsOn(slave) == 0; }).count(), 0) << "the dead line is held";

  PtyLine next;  // most often given the number just freed
  ui_.pumpFor(800ms);
  EXPECT_EQ(descriptorsOn(next.slavePath()), 0) << next.slavePath() << " was taken";
  EXPECT_EQ(ui_.errors, 1);
  EXPECT_EQ(portIsOpen(), 1);
}

}  // namespace
}  // namespace tevra
