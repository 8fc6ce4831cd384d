// The line to the screen and the capture file, a typed key to both, and the
// scroll bars around the screen. Every kind of key goes through the window
// in the reliability suite's key sweep (KeySweepTest).

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "AppHarness.h"
#include "res/ResourceIds.h"

namespace tevra::apptest {
namespace {

// The program running on a pseudo-terminal line as COM2, the port open.
class LineFixture : public ::testing::Test {
 protected:
  explicit LineFixture(Desktop desktop = Desktop::bare) : run_(desktop) {}

  void startWith(const std::string& extraStore = "") {
    run_.writeStore("[Ports]\nCOM2=" + line_.slavePath() + "\n" + extraStore);
    run_.start();
    ASSERT_TRUE(waitUntil([&] { return run_.mainWindow().has_value(); })) << run_.appLog();
    ASSERT_TRUE(waitUntil([&] { return run_.report()["port_open"] == "1"; })) << run_.appLog();
    main_ = *run_.mainWindow();
  }

  void TearDown() override {
    if (!run_.app().running()) return;
    EXPECT_EQ(run_.closeByMenu(), 0) << run_.appLog();
  }

  long reportNumber(const char* name) {
    const auto report = run_.report();
    return report.count(name) ? std::stol(report.at(name)) : -1;
  }

  TerminalRun run_;
  PtyLine line_;
  unsigned long main_ = 0;
};

// Keys on a bare X server and under a window manager.
class TypingTest : public LineFixture, public ::testing::WithParamInterface<Desktop> {
 protected:
  TypingTest() : LineFixture(GetParam()) {}
};

// Alt with a key is never a typed character; with a menu title's first
// letter it opens that menu, on its first item.
TEST_P(TypingTest, AltWithAKeySendsNothingAndAltWithAMenuLetterOpensThatMenu) {
  startWith();
  run_.focus(main_);
  for (const char* key : {"alt+a", "alt+x", "alt+1", "alt+period", "alt+Return", "alt+BackSpace", "alt+ctrl+b"}) {
    SCOPED_TRACE(key);
    run_.keys({key, "period"});
    EXPECT_EQ(line_.readUntil("."), ".");
  }

  run_.keys({"alt+t", "Return"});  // Terminal's first item: About
  const auto about = run_.waitForDialog("About");
  ASSERT_TRUE(about) << "Alt+T did not open the Terminal menu\n" << run_.describeWindows();
  ASSERT_TRUE(run_.dismiss(*about, "Escape"));

  run_.focus(main_);
  run_.keys({"alt+s", "Return"});  // Settings' first item: Incoming CR = CR+LF
  EXPECT_TRUE(waitUntil([&] { return run_.report()["checked_40011"] == "1"; }))
      << "Alt+S did not open the Settings menu\n" << run_.describeWindows();
  EXPECT_EQ(line_.drain(), "");
}

INSTANTIATE_TEST_SUITE_P(Desktops, TypingTest, ::testing::Values(Desktop::bare, Desktop::windowManager),
                         desktopName);

using ReceiveTest = LineFixture;

TEST_F(ReceiveTest, ReceivedAndTypedBytesGoToTheCaptureFileWhileCaptureIsOn) {
  const auto capture = run_.folder() / "traffic.cap";
  startWith("[Terminal]\nTermCapture=1\nCaptureFile=" + capture.string() + "\n");

  line_.write("hello\r\n");
  ASSERT_TRUE(waitUntil([&] { return fileText(capture) == "hello\r\n"; })) << fileText(capture);
  EXPECT_EQ(reportNumber("bytes_received"), 7);
  EXPECT_EQ(reportNumber("cursor_row"), 1);

  run_.focus(main_);
  run_.keys({"k"});
  EXPECT_EQ(line_.readUntil("k"), "k");
  ASSERT_TRUE(waitUntil([&] { return fileText(capture) == "hello\r\nk"; })) << fileText(capture);

  run_.chooseCommand(res::kCmdCapture);
  ASSERT_TRUE(waitUntil([&] { return run_.report()["checked_40021"] == "0"; }));
  line_.write("more");
  ASSERT_TRUE(waitUntil([&] { return reportNumber("bytes_received") == 11; }));
  EXPECT_EQ(fileText(capture), "hello\r\nk");
  run_.screenshot("received");
}

using ScrollTest = LineFixture;

TEST_F(ScrollTest, ClearScreenReturnsBothScrollBarsToTheStart) {
  startWith();
  std::string lines;
  for (int i = 1; i <= 40; ++i) lines += "line " + std::to_string(i) + " of the screen that scrolls\r\n";
  line_.write(lines);
  ASSERT_TRUE(waitUntil([&] { return reportNumber("cursor_row") == 40; })) << run_.appLog();

  // The wheel scrolls by whole lines: a notch up shows earlier rows.
  const Geometry frame = run_.clientGeometry(main_);
  const long followed = reportNumber("view_vpos");
  run_.x({"xdotool", "mousemove", std::to_string(frame.x + frame.width / 2),
          std::to_string(frame.y + frame.height / 2), "click", "4"});
  long wheeled = followed;
  ASSERT_TRUE(waitUntil([&] { return (wheeled = reportNumber("view_vpos")) < followed; })) << run_.appLog();
  EXPECT_EQ((followed - wheeled) % 16, 0) << followed << " -> " << wheeled;

  // Scroll right: the primary button warps the thumb to where the trough is clicked.
  run_.x({"xdotool", "mousemove", std::to_string(frame.x + frame.width - 40),
          std::to_string(frame.y + frame.height - 6), "click", "1"});
  std::map<std::string, std::string> report;
  ASSERT_TRUE(waitUntil([&] {
    report = run_.report();
    return report["hscroll_pos"] != "0" && report["view_hpos"] != "0";
  })) << run_.appLog();
  EXPECT_GT(std::stoi(report.at("vscroll_pos")), 1);
  EXPECT_GT(std::stoi(report.at("view_vpos")), 1);
  EXPECT_EQ(report.at("view_hpos"), report.at("hscroll_pos"));
  run_.screenshot("scrolled");

  run_.chooseCommand(res::kCmdClearScreen);
  ASSERT_TRUE(waitUntil([&] { return reportNumber("cursor_row") == 0; }));
  report = run_.report();
  for (const char* name : {"hscroll_pos", "vscroll_pos", "view_hpos", "view_vpos"}) {
    EXPECT_EQ(report.at(name), "0") << name;
  }
  EXPECT_EQ(report.at("vscroll_range"), "2");  // the range 0..1
  EXPECT_EQ(report.at("caret_visible"), "1");
  run_.screenshot("cleared");
}

// The window moves scrolled rows on the screen and draws only what changed
// or came into view: after lines that scrolled in many pieces (while the view
// follows the cursor, then while the full grid shifts under it), with a wheel
// notch up and back between them, the window shows exactly what a repaint of
// all of it shows.
TEST_F(ScrollTest, ScrolledTextShowsWhatAFullRepaintShows) {
  startWith();
  long sent = 0;
  const auto send = [&](int first, int last) {
    for (int i = first; i <= last; ++i) {
      const std::string text = "row " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 70), '.') + "\r\n";
      line_.write(text);
      sent += static_cast<long>(text.size());
      if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  };
  send(1, 100);
  const Geometry frame = run_.clientGeometry(main_);
  run_.x({"xdotool", "mousemove", std::to_string(frame.x + frame.width / 2),
          std::to_string(frame.y + frame.height / 2), "click", "4", "click", "5"});
  send(101, 260);
  line_.write("half a row");
  sent += 10;
  ASSERT_TRUE(waitUntil([&] { return reportNumber("bytes_received") == sent; })) << run_.appLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last frame painted
  const std::filesystem::path drawn = run_.windowShot(main_, "drawn-by-parts");

  // Unmapped and mapped again, the window is drawn anew from the grid.
  run_.x({"xdotool", "windowunmap", "--sync", std::to_string(main_)});
  run_.x({"xdotool", "windowmap", "--sync", std::to_string(main_)});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::filesystem::path repainted = run_.windowShot(main_, "repainted");

  const Geometry whole{0, 0, frame.width, frame.height};
  const std::string before = readPixels(drawn, whole);
  ASSERT_FALSE(before.empty());
  EXPECT_TRUE(before == readPixels(repainted, whole)) << "compare " << drawn << " with " << repainted;
}

using FloodTest = LineFixture;

TEST_F(FloodTest, AFloodOfReceivedDataKeepsTheMenusWorkingAndRepaintsByTheFrame) {
  startWith();
  std::string chunk;
  for (int i = 0; i < 64; ++i) chunk += std::string(79, static_cast<char>('A' + i % 26)) + "\r\n";
  std::atomic<bool> stop{false};
  std::atomic<long> written{0};
  std::thread writer([&] {
    std::size_t offset = 0;
    while (!stop) {
      const ssize_t wrote = ::write(line_.master(), chunk.data() + offset, chunk.size() - offset);
      if (wrote > 0) {
        written += wrote;
        offset = (offset + static_cast<std::size_t>(wrote)) % chunk.size();
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  EXPECT_TRUE(waitUntil([&] { return reportNumber("bytes_received") > 200000; })) << run_.appLog();

  // Mid-flood, the menu still opens a dialog and the dialog still closes.
  run_.chooseCommand(res::kCmdAbout);
  const auto dialog = run_.waitForDialog("About");
  EXPECT_TRUE(dialog) << "the menu did not answer during the flood";
  run_.screenshot("flood");
  if (dialog) {
    EXPECT_TRUE(run_.dismiss(*dialog, "Escape"));
  }
  stop = true;
  writer.join();

  ASSERT_TRUE(waitUntil([&] { return reportNumber("bytes_received") == written; })) << written;
  const auto report = run_.report();
  const long lines = written / static_cast<long>(chunk.size() / 64);
  // Repaints follow the frame clock, not the lines: a repaint per line would be `lines`.
  EXPECT_LT(std::stol(report.at("refreshes")), lines / 4) << lines << " lines";
  EXPECT_LT(std::stol(report.at("paints")), lines / 4) << lines << " lines";
  EXPECT_EQ(report.at("cursor_row"), "124");
}

}  // namespace
}  // namespace tevra::apptest
