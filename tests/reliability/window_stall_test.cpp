// The window never waits on the line or on a file: a line held by XOFF while a
// file is being sent; the window's heartbeat (TEVRA_HEARTBEAT_MS) shows how long
// it went without running its timers.

#include <fstream>
#include <string>

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

}  // namespace
}  // namespace tevra::apptest
