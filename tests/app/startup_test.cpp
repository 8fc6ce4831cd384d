// Start-up, the single instance and what survives a restart.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

#include "AppHarness.h"
#include "res/ResourceIds.h"

namespace tevra::apptest {
namespace {

std::string portsSection(const std::string& com2Path) { return "[Ports]\nCOM2=" + com2Path + "\n"; }

// The stored window rectangle: left, top, right, bottom.
void expectStoredLayout(const TerminalRun& run, const std::array<const char*, 4>& values) {
  const char* names[] = {"LayoutLeft", "LayoutTop", "LayoutRight", "LayoutBottom"};
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(run.storeValue("Layout", names[i]), values[i]) << names[i];
}

// A window manager frames the window after it appears: give it that time.
void expectPlace(const TerminalRun& run, unsigned long window, const Geometry& expected) {
  waitUntil([&] { return run.geometry(window) == expected; }, 5s);
  EXPECT_EQ(run.geometry(window), expected) << run.describeWindows();
}

void closeByMenu(TerminalRun& run) { EXPECT_EQ(run.closeByMenu(), 0) << run.appLog(); }

// Each case runs on a bare X server and under a window manager.
class StartupTest : public ::testing::TestWithParam<Desktop> {};

TEST_P(StartupTest, FirstStartUsesDefaultsAndReportsAMissingDevice) {
  TerminalRun run(GetParam());
  run.writeStore(portsSection((run.folder() / "no-such-device").string()));
  run.start();

  const auto box = run.waitForDialog("Terminal");
  ASSERT_TRUE(box) << "no open-failure box\n" << run.appLog();
  const auto main = run.mainWindow();
  ASSERT_TRUE(main);
  expectPlace(run, *main, Geometry{20, 20, 580, 340});
  run.screenshot("open-failure");

  ASSERT_TRUE(run.dismiss(*box, "Return")) << "box " << *box << " stays\n" << run.describeWindows();

  const auto report = run.report();
  ASSERT_FALSE(report.empty()) << run.appLog();
  const std::pair<const char*, const char*> checkMarks[] = {
      {"checked_40011", "0"}, {"checked_40015", "0"}, {"checked_40012", "1"},
      {"checked_40021", "0"}, {"checked_40023", "0"},
  };
  for (const auto& [name, value] : checkMarks) EXPECT_EQ(report.at(name), value) << name;
  for (const auto& [name, value] : report) {
    if (name.rfind("enabled_", 0) == 0) {
      EXPECT_EQ(value, "1") << name << " is greyed";
    }
  }
  EXPECT_EQ(report.at("port_open"), "0");
  EXPECT_EQ(report.at("caret_visible"), "0");

  closeByMenu(run);
  const std::pair<const char*, const char*> stored[] = {
      {"Port", "1"}, {"BaudRate", "4"}, {"ByteSize", "3"}, {"Parity", "0"}, {"StopBits", "0"},
  };
  for (const auto& [name, value] : stored) EXPECT_EQ(run.storeValue("General", name), value) << name;
  EXPECT_EQ(run.storeValue("Terminal", "TermEcho"), "1");
  EXPECT_EQ(run.storeValue("Terminal", "CaptureFile"), "capture.txt");
  expectStoredLayout(run, {"20", "20", "600", "360"});
}

// The open-failure box carries the stop icon: a red disc left of its text.
TEST_P(StartupTest, TheOpenFailureBoxShowsTheStopIcon) {
  TerminalRun run(GetParam());
  run.writeStore(portsSection((run.folder() / "no-such-device").string()));
  run.start();
  const auto box = run.waitForDialog("Terminal");
  ASSERT_TRUE(box) << "no open-failure box\n" << run.appLog();
  std::this_thread::sleep_for(500ms);  // painted
  const auto shot = run.windowShot(*box, "box");
  const Geometry place = run.clientGeometry(*box);
  const Geometry iconArea{0, 0, std::min(80, place.width / 4), place.height * 2 / 3};
  const long red = countPixels(shot, iconArea, [](int r, int g, int b) { return r > 150 && g < 90 && b < 90; });
  EXPECT_GT(red, 500) << "no stop icon in " << shot;
  ASSERT_TRUE(run.dismiss(*box, "Return"));
  closeByMenu(run);
}

TEST_P(StartupTest, RectangleAndOptionsSurviveARestart) {
  TerminalRun run(GetParam());
  PtyLine line;
  run.writeStore(portsSection(line.slavePath()) +
                 "[Terminal]\nTermEcho=0\nTermInCR=1\n"
                 "[Layout]\nLayoutLeft=100\nLayoutTop=120\nLayoutRight=600\nLayoutBottom=420\n");
  run.start();
  std::optional<unsigned long> main;
  ASSERT_TRUE(waitUntil([&] { return (main = run.mainWindow()).has_value(); })) << run.appLog();
  expectPlace(run, *main, Geometry{100, 120, 500, 300});

  // The user moves and sizes the window and turns on outgoing CR = CR+LF.
  const Geometry moved{150, 130, 520, 310};
  run.place(*main, moved);
  ASSERT_TRUE(waitUntil([&] { return run.geometry(*main) == moved; })) << run.describeWindows();
  run.chooseCommand(res::kCmdOutCR);
  ASSERT_TRUE(waitUntil([&] { return run.report()["checked_40015"] == "1"; }));
  closeByMenu(run);

  expectStoredLayout(run, {"150", "130", "670", "440"});
  EXPECT_EQ(run.storeValue("Terminal", "TermOutCR"), "1");
  EXPECT_EQ(run.storeValue("Terminal", "TermInCR"), "1");
  EXPECT_EQ(run.storeValue("Terminal", "TermEcho"), "0");

  run.start();
  ASSERT_TRUE(waitUntil([&] { return (main = run.mainWindow()).has_value(); })) << run.appLog();
  expectPlace(run, *main, moved);
  const auto report = run.report();
  EXPECT_EQ(report.at("checked_40015"), "1");
  EXPECT_EQ(report.at("checked_40011"), "1");
  EXPECT_EQ(report.at("checked_40012"), "0");
  run.screenshot("restarted");

  // Alt+F4 ends the program as Close does (under a manager, by the manager's
  // own key), and the rectangle it stores is the one it came back to.
  run.focus(*main);
  run.keys({"alt+F4"});
  EXPECT_EQ(run.app().waitExit(), 0) << run.describeWindows() << run.appLog();
  expectStoredLayout(run, {"150", "130", "670", "440"});
}

TEST_P(StartupTest, ASecondCopyEndsQuietlyAndAKilledCopyBlocksNothing) {
  TerminalRun run(GetParam());
  PtyLine line;
  run.writeStore(portsSection(line.slavePath()));
  Process& first = run.start();
  ASSERT_TRUE(waitUntil([&] { return run.mainWindow().has_value(); })) << run.appLog();

  Process& second = run.start();
  EXPECT_EQ(second.waitExit(), 0);
  EXPECT_EQ(run.visibleWindows("^Terminal$").size(), 1u);
  EXPECT_TRUE(first.running());

  first.signal(SIGKILL);
  ASSERT_TRUE(first.waitExit());
  run.start();
  ASSERT_TRUE(waitUntil([&] { return run.mainWindow().has_value(); })) << run.appLog();
  closeByMenu(run);
}

INSTANTIATE_TEST_SUITE_P(Desktops, StartupTest, ::testing::Values(Desktop::bare, Desktop::windowManager),
                         desktopName);

}  // namespace
}  // namespace tevra::apptest
