// Opening and closing the line: failures leave nothing behind, the line is held
// exclusively while open, and a second open closes the first line.

#include <linux/capability.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "serial/EngineLink.h"
#include "serial/SerialPort.h"
#include "tests/serial/PortFixture.h"
#include "tests/support/PtyLine.h"
#include "tests/support/TempFolder.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;
using testing::linePattern;
using testing::openFdCount;
using testing::PortFixture;
using testing::PtyLine;
using testing::threadCount;

// Opens `path` from a child process without CAP_SYS_ADMIN, the way another user
// program would: 0 on success, else the errno of its open.
int openAsOtherProgram(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    if (::syscall(SYS_capget, &header, caps) != 0) ::_exit(250);
    caps[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
    if (::syscall(SYS_capset, &header, caps) != 0) ::_exit(251);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PortOpenTest : public PortFixture<> {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    folder_ = temp_.path().string();
  }

  testing::TempFolder temp_{"tevra-port"};
  std::string folder_;
};

TEST_F(PortOpenTest, EveryFailureLeavesThePortClosedWithNothingBehind) {
  PtyLine lockedPair;
  PtyLine sevenBitPair;
  const std::string plainFile = folder_ + "/plain";
  std::fclose(std::fopen(plainFile.c_str(), "w"));
  // Another program holding the line: it took the lock before us.
  const int holder = ::open(lockedPair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

  struct FailureCase {
    const char* name;
    std::string path;
    std::uint8_t dataBits;
    std::uint8_t parity;
    std::string reason;
  };
  const FailureCase cases[] = {
      {"missing", folder_ + "/absent", 8, 0, "No such file or directory"},
      {"plain file", plainFile, 8, 0, "Not a serial line"},
      {"directory", folder_, 8, 0, "Is a directory"},
      {"held by another", lockedPair.slavePath(), 8, 0, "Device or resource busy"},
      {"7E1 on a pty", sevenBitPair.slavePath(), 7, 2,
       "line settings not supported (7 data bits, even parity, 1 stop bit, 9600 baud)"},
  };
  for (const bool openBefore : {false, true}) {
    for (const FailureCase& failure : cases) {
      SCOPED_TRACE(std::string(failure.name) + (openBefore ? ", another port open" : ""));
      PtyLine earlier;
      const int threadsBefore = threadCount();
      const int fdsBefore = openFdCount();
      if (openBefore) openLine(earlier.slavePath());
      portSetLine(1, 9600, failure.dataBits, static_cast<Parity>(failure.parity), StopBits::kOne);
      EXPECT_EQ(portOpen(failure.path, &ui_), 0);
      EXPECT_EQ(portIsOpen(), 0);
      EXPECT_EQ(portFailureReason(), failure.path + ": " + failure.reason);
      EXPECT_EQ(threadCount(), threadsBefore);
      EXPECT_EQ(openFdCount(), fdsBefore);
      if (openBefore) {
        EXPECT_TRUE(earlier.waitFor(POLLIN, 5s)) << "the earlier line is not hung up";
      }
    }
  }
  // The failed 7E1 open kept neither the exclusive flag nor the lock.
  EXPECT_EQ(openAsOtherProgram(sevenBitPair.slavePath()), 0);
  const int after = ::open(sevenBitPair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_EQ(::flock(after, LOCK_EX | LOCK_NB), 0);
  ::close(after);
  ::close(holder);
}

// Another program holds the line and has bytes on their way out. With flock and
// TIOCEXCL our open fails; with TIOCEXCL alone root gets in. Either way its
// exclusive flag stays set and its output stays in place.
TEST_F(PortOpenTest, AFailedOpenLeavesTheHoldersLineAlone) {
  for (const bool holderLocks : {true, false}) {
    SCOPED_TRACE(holderLocks ? "flock and TIOCEXCL" : "TIOCEXCL alone");
    PtyLine pair;
    const int holder = ::open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    if (holderLocks) {
      ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    // Written by the holder, not yet read by the far end: a flush would discard it.
    // Letters only: the holder's line is in cooked mode.
    std::vector<std::uint8_t> queued(300);
    for (std::size_t i = 0; i < queued.size(); ++i) queued[i] = static_cast<std::uint8_t>('A' + i % 26);
    ASSERT_EQ(::write(holder, queued.data(), queued.size()), static_cast<ssize_t>(queued.size()));

    portSetLine(1, 9600, 8, Parity::kNone, StopBits::kOne);
    if (holderLocks) {
      EXPECT_EQ(portOpen(pair.slavePath(), &ui_), 0);
      EXPECT_EQ(portFailureReason(), pair.slavePath() + ": Device or resource busy");
    } else if (portOpen(pair.slavePath(), &ui_) != 0) {  // as root; a user's open fails
      portClose();
    }
    int exclusive = 0;
    ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "we cleared the holder's exclusive flag";
    EXPECT_EQ(pair.receive(queued.size(), 2s), queued) << "we discarded the holder's output";
    ::close(holder);
  }
}

TEST_F(PortOpenTest, HoldsTheLineExclusivelyUntilClosed) {
  PtyLine pair;
  // Opened before the engine's open: afterwards only root could.
  const int rival = ::open(pair.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(rival, 0);
  openLine(pair.slavePath());
  EXPECT_EQ(portIsOpen(), 1);
  EXPECT_EQ(portFailureReason(), "");

  EXPECT_NE(::flock(rival, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(openAsOtherProgram(pair.slavePath()), EBUSY);

  portClose();
  EXPECT_EQ(portIsOpen(), 0);
  EXPECT_EQ(::flock(rival, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(openAsOtherProgram(pair.slavePath()), 0);
  ::close(rival);
}

TEST_F(PortOpenTest, OpeningWhileOpenClosesTheFirstLine) {
  PtyLine first;
  PtyLine second;
  const int threadsBefore = threadCount();
  openLine(first.slavePath());
  openLine(second.slavePath());
  EXPECT_EQ(threadCount(), threadsBefore + 1);

  // The first line is let go: hung up at the far end, its lock free again.
  EXPECT_TRUE(first.waitFor(POLLIN, 5s));
  EXPECT_EQ(openAsOtherProgram(first.slavePath()), 0);

  // The second one carries the traffic, both ways.
  const auto bytes = linePattern(100);
  ASSERT_TRUE(second.send(bytes));
  ASSERT_TRUE(ui_.pumpBytes(bytes.size()));
  EXPECT_EQ(ui_.received, bytes);
  EXPECT_EQ(portWrite(bytes.data(), bytes.size()), 1);
  EXPECT_EQ(second.receive(bytes.size()), bytes);

  portClose();
  EXPECT_EQ(threadCount(), threadsBefore);
}

TEST_F(PortOpenTest, EngineLinkCarriesTheLineParametersAndTheReason) {
  PtyLine pair;
  EngineLink link(&ui_);
  LineParameters line;
  line.portNumber = 5;
  line.baud = 14400;
  line.dataBits = 7;
  line.parity = Parity::kOdd;
  line.stopBits = StopBits::kTwo;
  EXPECT_FALSE(link.open(line, pair.slavePath()));
  EXPECT_FALSE(link.isOpen());
  EXPECT_EQ(link.failureReason(),
            pair.slavePath() +
                ": line settings not supported (7 data bits, odd parity, 2 stop bits, 14400 baud)");

  line.dataBits = 8;
  line.parity = Parity::kNone;
  ASSERT_TRUE(link.open(line, pair.slavePath())) << link.failureReason();
  EXPECT_TRUE(link.isOpen());
  const auto bytes = linePattern(10);
  EXPECT_TRUE(link.write(bytes.data(), bytes.size()));
  EXPECT_EQ(pair.receive(bytes.size()), bytes);
  link.close();
  EXPECT_FALSE(link.isOpen());
  EXPECT_FALSE(link.write(bytes.data(), bytes.size()));
}

}  // namespace
}  // namespace tevra
