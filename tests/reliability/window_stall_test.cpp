// The window never waits on the line or on a file: a line held by XOFF while a
// file is being sent, a capture FIFO without a reader or with readers that
// leave, a file to send that never ends. The window's heartbeat
// (TEVRA_HEARTBEAT_MS) shows how long it went without running its timers.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

// Far above a good window's gap, far below the seconds a write waiting on a held
// 300-baud line took: the figure to aim at lives in bench/e2e.
constexpr long kStalledUs = 1000 * 1000;

class WindowStallTest : public ReliabilityFixture {
 protected:
  void SetUp() override { run_.extraEnvironment["TEVRA_HEARTBEAT_MS"] = "10"; }

  fs::path writeFile(const std::string& name, const std::string& text) {
    const fs::path file = run_.folder() / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  // The longest gap between two heartbeats since the last report, and starts a new span.
  long longestGapUs() { return reportNumber("heartbeat_max_gap_us"); }

  // The Settings dialog opens and goes away again: the window answers its menu.
  bool settingsAnswers() {
    run_.chooseCommand(res::kCmdSettings);
    const auto dialog = run_.waitForDialog("Settings");
    return dialog && run_.dismiss(*dialog, "Escape");
  }
};

TEST_F(WindowStallTest, ALineHeldByXoffAt300BaudWhileAFileIsSentLeavesTheWindowAnswering) {
  ASSERT_NO_FATAL_FAILURE(startWith("[General]\nBaudRate=0\n"));  // 300 baud
  line().write(std::string{static_cast<char>(kXoff)} + "x");
  ASSERT_TRUE(waitReceived(1)) << "the XOFF was not taken";

  std::string text;
  std::string expected;
  for (int number = 1; number <= 5; ++number) {
    // 150 bytes each: about 9.6 s of write time-out at 300 baud.
    const std::string line = "line " + std::to_string(number) + " " + std::string(143, 'a' + number);
    text += line + "\n";
    expected += line + "\r\n";
  }
  const fs::path file = writeFile("held.txt", text);
  ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
  longestGapUs();
  ASSERT_TRUE(waitUntil([&] { return reportNumber("heartbeats") > 0; }));

  // Several ticks write into the held line meanwhile.
  EXPECT_TRUE(settingsAnswers()) << run_.describeWindows();
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(settingsAnswers()) << run_.describeWindows();
  EXPECT_LT(longestGapUs(), kStalledUs) << "the window waited on the held line";
  EXPECT_EQ(line().drain(200ms), "") << "bytes went out while XOFF held the line";

  // XON: everything sent so far goes out, in order, and the rest follows.
  line().write(std::string{static_cast<char>(kXon)});
  EXPECT_EQ(line().readUntil(expected), expected);
  EXPECT_EQ(boxes(), 0);
}

TEST_F(WindowStallTest, ACaptureFifoWithoutAReaderOrWithReadersThatLeaveNeitherStallsNorEndsTheProgram) {
  const fs::path fifo = run_.folder() / "capture.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_NO_FATAL_FAILURE(startCapturingTo(fifo));
  longestGapUs();

  // No reader: every chunk is skipped, silently.
  {
    Flood flood(line().master(), floodPayload(256 * 1024, 5));
    ASSERT_TRUE(flood.waitFinished(kPatience));
  }
  ASSERT_TRUE(waitReceived(256 * 1024)) << run_.appLog();
  EXPECT_TRUE(settingsAnswers()) << run_.describeWindows();
  EXPECT_EQ(boxes(), 0);

  // Readers that read a little and leave, during a flood.
  std::atomic<bool> stop{false};
  std::thread readers([&] {
    char chunk[4096];
    while (!stop) {
      const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      std::this_thread::sleep_for(2ms);
      (void)!::read(fd, chunk, sizeof chunk);
      ::close(fd);
    }
  });
  // A broken pipe is a write failure: its box holds the receiving (it is modal)
  // until dismissed, as any capture failure's does.
  const auto dismissBoxes = [&] {
    for (unsigned long window : run_.visibleWindows("^Terminal$")) {
      if (window != main_) run_.dismiss(window, "Return");
    }
  };
  {
    Flood flood(line().master(), floodPayload(2 * kMiB, 6));
    EXPECT_TRUE(waitUntil([&] {
      if (boxes() > 0) dismissBoxes();
      return flood.finished();
    }, 120s));
  }
  stop = true;
  readers.join();
  ASSERT_TRUE(run_.app().running()) << "a reader that left ended the program: " << run_.appLog();
  EXPECT_TRUE(waitUntil([&] {
    if (boxes() > 0) dismissBoxes();
    return reportNumber("bytes_received") == 256 * 1024 + 2 * static_cast<long>(kMiB);
  })) << run_.appLog();
  dismissBoxes();
  EXPECT_LT(longestGapUs(), kStalledUs) << "the window waited on the FIFO";
}

TEST_F(WindowStallTest, AFileToSendThatNeverEndsIsNotSentAndTheWindowAnswers) {
  ASSERT_NO_FATAL_FAILURE(startWith());
  const fs::path fifo = run_.folder() / "send.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // one that never ends
  // Beside the FIFO, so the chooser stays in one folder.
  const fs::path zero = run_.folder() / "zero.txt";
  fs::create_symlink("/dev/zero", zero);
  for (const fs::path& file : {fifo, zero}) {
    SCOPED_TRACE(file.string());
    ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
    longestGapUs();
    std::this_thread::sleep_for(1200ms);  // two ticks, if the sending had started
    EXPECT_TRUE(settingsAnswers()) << run_.describeWindows();
    EXPECT_EQ(run_.report()["checked_40023"], "0") << "it is being sent";
    EXPECT_LT(longestGapUs(), kStalledUs);
  }
  ::close(writer);
  EXPECT_EQ(line().drain(300ms), "");
  EXPECT_EQ(boxes(), 0);
}

}  // namespace
}  // namespace tevra::apptest
