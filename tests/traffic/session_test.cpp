#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/FileSender.h"
#include "tests/traffic/TrafficFixture.h"

namespace tevra {
namespace {

using traffic::SessionFixture;
using traffic::screenIsBlank;
using traffic::expectScreen;

struct OptionCase {
  int echo, inCR, outCR;
  std::string line;  // what went out, also what the capture file holds
  traffic::ScreenShows screen;
};

void PrintTo(const OptionCase& c, std::ostream* out) {
  *out << "echo " << c.echo << ", in CR " << c.inCR << ", out CR " << c.outCR;
}

class TypedKeysTest : public SessionFixture, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(TypedKeysTest, ReachLineScreenAndCaptureByTheOptions) {
  const OptionCase& c = GetParam();
  settings.termEcho = c.echo;
  settings.termInCR = c.inCR;
  settings.termOutCR = c.outCR;

  type("AB\rC");

  EXPECT_EQ(link.allWritten(), c.line);
  EXPECT_EQ(link.writes.size(), c.line.size()) << "one write per byte";
  EXPECT_EQ(captured(), c.line) << "typed bytes are captured whether or not they are echoed";
  expectScreen(screen, c.screen);
}

INSTANTIATE_TEST_SUITE_P(
    Options, TypedKeysTest,
    ::testing::Values(
        // Echo off: nothing on the screen, the line and the capture unchanged.
        OptionCase{0, 0, 0, "AB\rC", {{}, 0, 0}}, OptionCase{0, 1, 0, "AB\rC", {{}, 0, 0}},
        OptionCase{0, 0, 1, "AB\r\nC", {{}, 0, 0}}, OptionCase{0, 1, 1, "AB\r\nC", {{}, 0, 0}},
        // Echo on: a bare CR returns to column 0 and C overwrites A.
        OptionCase{1, 0, 0, "AB\rC", {{"CB"}, 0, 1}},
        OptionCase{1, 1, 0, "AB\rC", {{"AB", "C"}, 1, 1}},
        // Outgoing CR+LF: one new line on the screen, whatever incoming CR says.
        OptionCase{1, 0, 1, "AB\r\nC", {{"AB", "C"}, 1, 1}},
        OptionCase{1, 1, 1, "AB\r\nC", {{"AB", "C"}, 1, 1}}));

TEST_F(SessionFixture, TypingWithThePortClosedChangesNothing) {
  settings.termEcho = settings.termInCR = settings.termOutCR = 1;
  link.lineOpen = false;

  type("AB\r\x08\x1b");

  EXPECT_TRUE(link.writes.empty());
  EXPECT_TRUE(screenIsBlank(screen));
  EXPECT_FALSE(std::filesystem::exists(settings.captureFile));
}

TEST_F(SessionFixture, TypedCodeSendsItsLowByte) {
  settings.termEcho = 0;
  settings.termOutCR = 1;
  session.onChar(0x1E9);
  session.onChar(0x10D);  // low byte CR: the line gets the LF too

  EXPECT_EQ(link.allWritten(), "\xE9\r\n");
}

struct ReceiveCase {
  int echo, inCR;
  traffic::ScreenShows screen;
};

void PrintTo(const ReceiveCase& c, std::ostream* out) {
  *out << "echo " << c.echo << ", in CR " << c.inCR;
}

class ReceivedBytesTest : public SessionFixture, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceivedBytesTest, AreShownAndCapturedRawWhateverTheEcho) {
  const ReceiveCase& c = GetParam();
  settings.termEcho = c.echo;
  settings.termInCR = c.inCR;
  settings.termOutCR = 1;  // only for typed CRs
  const std::string first = "AB\rC\n";
  const std::string second = std::string("\x00\x1b\xff\x08", 4) + "D";

  receive(first);
  receive(second);

  EXPECT_TRUE(link.writes.empty());
  EXPECT_EQ(captured(), first + second) << "control bytes are captured as they came";
  expectScreen(screen, c.screen);
}

INSTANTIATE_TEST_SUITE_P(
    Options, ReceivedBytesTest,
    ::testing::Values(ReceiveCase{0, 0, {{"CB", "   D"}, 1, 4}},
                      ReceiveCase{1, 0, {{"CB", "   D"}, 1, 4}},
                      ReceiveCase{0, 1, {{"AB", "C", "   D"}, 2, 4}},
                      ReceiveCase{1, 1, {{"AB", "C", "   D"}, 2, 4}}));

TEST_F(SessionFixture, PortErrorIsIgnored) {
  EXPECT_EQ(session.onPortError(), 0);
  EXPECT_TRUE(screenIsBlank(screen));
  EXPECT_TRUE(ui.errors.empty());
}

TEST_F(SessionFixture, CaptureOffWritesNoFile) {
  settings.termCapture = 0;
  type("AB");
  receive("CD");
  EXPECT_FALSE(std::filesystem::exists(settings.captureFile));
}

TEST_F(SessionFixture, CaptureAppendsToWhatTheFileHeld) {
  traffic::writeWholeFile(settings.captureFile, "before\n");
  settings.termEcho = 0;
  receive("in");
  type("out");
  EXPECT_EQ(captured(), "before\ninout");
}

TEST_F(SessionFixture, TogglesFlipTheirOptionAndRefreshTheMenu) {
  struct Toggle {
    void (TerminalSession::*command)();
    int TerminalSettings::*option;
  };
  const Toggle toggles[] = {{&TerminalSession::toggleInCR, &TerminalSettings::termInCR},
                            {&TerminalSession::toggleOutCR, &TerminalSettings::termOutCR},
                            {&TerminalSession::toggleEcho, &TerminalSettings::termEcho},
                            {&TerminalSession::toggleCapture, &TerminalSettings::termCapture}};
  for (const Toggle& toggle : toggles) {
    const int before = settings.*toggle.option;
    const int notices = ui.optionsChangedCount;
    (session.*toggle.command)();
    EXPECT_EQ(settings.*toggle.option, 1 - before);
    (session.*toggle.command)();
    EXPECT_EQ(settings.*toggle.option, before);
    EXPECT_EQ(ui.optionsChangedCount, notices + 2);
  }
}

TEST_F(SessionFixture, ChoosingACaptureFileTurnsCaptureOn) {
  settings.termCapture = 0;
  const std::string chosen = folder.file("chosen.log");
  ui.saveAnswer = chosen;

  session.chooseCaptureFile();

  ASSERT_EQ(ui.saveChooserCalls.size(), 1u);
  EXPECT_EQ(ui.saveChooserCalls[0].initialPath, folder.file("capture.txt"));
  EXPECT_EQ(ui.saveChooserCalls[0].defaultExtension, "txt");
  EXPECT_EQ(ui.saveChooserCalls[0].filter, "Text files (*.txt)|*.txt|All files (*.*)|*.*||");
  EXPECT_EQ(settings.captureFile, chosen);
  EXPECT_EQ(settings.termCapture, 1);
  EXPECT_EQ(ui.optionsChangedCount, 1);
}

TEST_F(SessionFixture, CancellingTheCaptureChooserChangesNothing) {
  settings.termCapture = 0;
  ui.saveAnswer.reset();

  session.chooseCaptureFile();

  EXPECT_EQ(settings.captureFile, folder.file("capture.txt"));
  EXPECT_EQ(settings.termCapture, 0);
  EXPECT_EQ(ui.optionsChangedCount, 0);
}

TEST_F(SessionFixture, ConnectOpensTheMappedDeviceWithTheLineValues) {
  settings.port = 4;    // COM5
  settings.baud = 9;    // 115200
  settings.parity = 2;  // "Odd"
  store.writeText("Ports", "COM5", folder.file("line"));
  link.lineOpen = false;

  EXPECT_TRUE(session.connect());

  ASSERT_TRUE(link.openedWith.has_value());
  EXPECT_EQ(link.openedWith->portNumber, 5);
  EXPECT_EQ(link.openedWith->baud, 115200u);
  EXPECT_EQ(static_cast<int>(link.openedWith->parity), 1);
  EXPECT_EQ(link.openedPath, folder.file("line"));
  EXPECT_TRUE(ui.errors.empty());
}

TEST_F(SessionFixture, FailedConnectNamesThePortAndTheReason) {
  settings.port = 2;  // COM3
  store.writeText("Ports", "COM3", folder.file("absent"));
  link.opens = false;
  link.reason = folder.file("absent") + ": No such file or directory";

  EXPECT_FALSE(session.connect());

  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0],
            "Can't initialize COM3 port!\n" + folder.file("absent") + ": No such file or directory");
}

TEST_F(SessionFixture, ApplyingLineSettingsStopsTheSenderAndReopens) {
  FileSender sender{settings, screen, link, ui};
  const std::string sendFile = folder.file("send.txt");
  traffic::writeWholeFile(sendFile, "one\ntwo\n");
  ui.openAnswer = sendFile;
  sender.start();
  ASSERT_EQ(sender.sending(), 1);
  store.writeText("Ports", "COM7", folder.file("other"));

  EXPECT_TRUE(session.applyLineSettings({6, 0, 1, 4, 1}, sender));

  EXPECT_EQ(sender.sending(), 0);
  EXPECT_EQ(ui.runningTimer, 0);
  EXPECT_EQ(link.closeCount, 1);
  EXPECT_EQ(settings.port, 6);
  ASSERT_TRUE(link.openedWith.has_value());
  EXPECT_EQ(link.openedWith->portNumber, 7);
  EXPECT_EQ(link.openedWith->baud, 300u);
  EXPECT_EQ(link.openedWith->dataBits, 6);
  EXPECT_EQ(static_cast<int>(link.openedWith->parity), 4);
  EXPECT_EQ(static_cast<int>(link.openedWith->stopBits), 2);
  EXPECT_EQ(link.openedPath, folder.file("other"));
}

}  // namespace
}  // namespace tevra
