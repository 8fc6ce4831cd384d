// The Settings dialog's reconnect, the About box's link, and the caret while a
// dialog has the keyboard.

#include <gtest/gtest.h>

#include <sstream>

#include "AppHarness.h"
#include "res/Menus.h"
#include "res/ResourceIds.h"
#include "res/Strings.h"

namespace tevra::apptest {
namespace {

constexpr unsigned char kStartCharacter = 0x11;  // what every open of the line sets
constexpr unsigned char kScribble = 0x01;

// Each case runs on a bare X server and under a window manager.
class DialogFixture : public ::testing::TestWithParam<Desktop> {
 protected:
  void SetUp() override {
    run_.writeStore("[Ports]\nCOM2=" + line_.slavePath() + "\nCOM5=" + (run_.folder() / "no-such-device").string() +
                    "\n");
    run_.start();
    ASSERT_TRUE(waitUntil([&] { return run_.mainWindow().has_value(); })) << run_.appLog();
    ASSERT_TRUE(waitUntil([&] { return run_.report()["port_open"] == "1"; })) << run_.appLog();
  }

  void TearDown() override {
    if (!run_.app().running()) return;
    EXPECT_EQ(run_.closeByMenu(), 0) << run_.appLog();
  }

  // Opens the Settings dialog and leaves it with `key`.
  void settingsThen(const std::string& key, const std::string& screenshotName = "") {
    run_.chooseCommand(res::kCmdSettings);
    const auto dialog = run_.waitForDialog("Settings");
    ASSERT_TRUE(dialog) << run_.appLog();
    if (!screenshotName.empty()) run_.screenshot(screenshotName);
    ASSERT_TRUE(run_.dismiss(*dialog, key));
  }

  TerminalRun run_{GetParam()};
  PtyLine line_;
};

using SettingsDialogTest = DialogFixture;

TEST_P(SettingsDialogTest, CancelKeepsTheLineAndOkReopensItEvenUnchanged) {
  ASSERT_EQ(line_.startCharacter(), kStartCharacter);
  line_.setStartCharacter(kScribble);

  settingsThen("Escape", "settings");
  EXPECT_EQ(run_.report()["port_open"], "1");  // the report also shows the dialog's end was handled
  EXPECT_EQ(line_.startCharacter(), kScribble) << "Cancel touched the line";

  settingsThen("Return");
  EXPECT_TRUE(waitUntil([&] { return line_.startCharacter() == kStartCharacter; })) << "OK did not reopen the line";
  const auto report = run_.report();
  EXPECT_EQ(report.at("port_open"), "1");

  // The reopened line carries typing.
  run_.focus(*run_.mainWindow());
  run_.keys({"q"});
  EXPECT_EQ(line_.readUntil("q"), "q");
}

TEST_P(SettingsDialogTest, ChoosingAMissingPortReportsItAndStoresTheChoice) {
  run_.chooseCommand(res::kCmdSettings);
  const auto dialog = run_.waitForDialog("Settings");
  ASSERT_TRUE(dialog) << run_.appLog();
  // The port list has the focus first; three steps down from COM2 is COM5,
  // which this system maps to a device that does not exist.
  run_.focus(*dialog);
  run_.keys({"Down", "Down", "Down"});
  run_.screenshot("com5-chosen");
  ASSERT_TRUE(run_.dismiss(*dialog, "Return"));

  const auto box = run_.waitForDialog("Terminal");
  ASSERT_TRUE(box) << "no open-failure box for COM5\n" << run_.describeWindows();
  run_.screenshot("com5-failed");
  ASSERT_TRUE(run_.dismiss(*box, "Return"));
  EXPECT_EQ(run_.report()["port_open"], "0");
  EXPECT_EQ(run_.closeByMenu(), 0) << run_.appLog();
  EXPECT_EQ(run_.storeValue("General", "Port"), "4");
}

using AboutBoxTest = DialogFixture;

TEST_P(AboutBoxTest, TheLinkOpensTheAddressWithTheDesktopOpener) {
  run_.chooseCommand(res::kCmdAbout);
  const auto dialog = run_.waitForDialog("About");
  ASSERT_TRUE(dialog) << run_.appLog();
  run_.screenshot("about");

  // The whole address shows, inside the box, and its last letters take the click too.
  const auto report = run_.report();
  ASSERT_TRUE(report.count("about_link")) << run_.appLog();
  Geometry link;
  char comma;
  std::istringstream(report.at("about_link")) >> link.x >> comma >> link.y >> comma >> link.width >> comma >>
      link.height;
  const int textWidth = std::stoi(report.at("about_link_text_width"));
  EXPECT_GE(link.width, textWidth);
  const Geometry box = run_.clientGeometry(*dialog);
  EXPECT_GE(link.x, box.x);
  EXPECT_LE(link.x + link.width, box.x + box.width) << "the link runs out of the box";
  EXPECT_LE(link.y + link.height, box.y + box.height) << "the link runs out of the box";
  const int x = link.x + textWidth - 3;
  const int y = link.y + link.height / 2;
  run_.x({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  const auto opened = run_.folder() / "opened.txt";
  std::string arguments;
  EXPECT_TRUE(waitUntil([&] {
    arguments = fileText(opened);
    return !arguments.empty();
  })) << run_.appLog();
  EXPECT_EQ(arguments, std::string(res::kLinkAddress) + "\n");

  EXPECT_TRUE(run_.dismiss(*dialog, "Escape"));
}

using FileChooserTest = DialogFixture;

// Each chooser is titled with what it is for and fits on the screen.
TEST_P(FileChooserTest, EachChooserSaysWhatItIsForAndFitsTheScreen) {
  const Geometry screen{0, 0, 1024, 768};  // the harness's X server
  for (const int command : {res::kCmdCaptureFile, res::kCmdSendFile}) {
    const std::string title = res::commandWords(command);
    SCOPED_TRACE(title);
    run_.chooseCommand(command);
    const auto chooser = run_.waitForDialog(title);
    ASSERT_TRUE(chooser) << run_.describeWindows();
    // GTK settles the chooser's size just after mapping it.
    const auto onScreen = [&] {
      const Geometry place = run_.geometry(*chooser);
      return place.x >= screen.x && place.y >= screen.y && place.x + place.width <= screen.width &&
             place.y + place.height <= screen.height;
    };
    waitUntil(onScreen, 5s);
    EXPECT_TRUE(onScreen()) << run_.describeWindows();
    run_.screenshot("chooser-" + std::to_string(command));
    ASSERT_TRUE(run_.dismiss(*chooser, "Escape"));
  }
}

// The caret shows only while the terminal has the keyboard: a dialog takes it
// away, and closing the dialog brings it back.
TEST_P(AboutBoxTest, TheCaretGoesWithTheKeyboardAndComesBack) {
  const auto caretShown = [&](const char* value) {
    return waitUntil([&] { return run_.report()["caret_visible"] == value; });
  };
  run_.focus(*run_.mainWindow());
  ASSERT_TRUE(caretShown("1")) << run_.describeWindows();

  run_.chooseCommand(res::kCmdAbout);
  const auto dialog = run_.waitForDialog("About");
  ASSERT_TRUE(dialog) << run_.appLog();
  run_.focus(*dialog);
  EXPECT_TRUE(caretShown("0")) << "the caret stayed while the About box had the keyboard\n"
                               << run_.describeWindows();

  ASSERT_TRUE(run_.dismiss(*dialog, "Escape"));
  run_.focus(*run_.mainWindow());
  EXPECT_TRUE(caretShown("1")) << "the caret did not come back\n" << run_.describeWindows();
}

INSTANTIATE_TEST_SUITE_P(Desktops, SettingsDialogTest, ::testing::Values(Desktop::bare, Desktop::windowManager),
                         desktopName);
INSTANTIATE_TEST_SUITE_P(Desktops, FileChooserTest, ::testing::Values(Desktop::bare, Desktop::windowManager),
                         desktopName);
INSTANTIATE_TEST_SUITE_P(Desktops, AboutBoxTest, ::testing::Values(Desktop::bare, Desktop::windowManager),
                         desktopName);

}  // namespace
}  // namespace tevra::apptest
