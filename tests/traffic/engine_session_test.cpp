// The session over the real port engine, on a pseudo-terminal pair.

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/FileSender.h"
#include "serial/EngineLink.h"
#include "serial/SerialPort.h"
#include "tests/serial/LineLink.h"
#include "tests/support/PtyLine.h"
#include "tests/serial/UiLoop.h"
#include "tests/traffic/TrafficFixture.h"

namespace tevra {
namespace {

// The UI thread stand-in: woken through a condition variable, it hands each
// delivered block to the session as the window's WM_PORT_DATA handler does.
class SessionLoop : public testing::UiLoop {
 public:
  TerminalSession* session = nullptr;
  int onPortData(int count, const std::uint8_t* bytes) override {
    UiLoop::onPortData(count, bytes);
    return session->onPortData(count, bytes);
  }
  int onPortError() override {
    UiLoop::onPortError();
    return session->onPortError();
  }
};

class EngineSessionTest : public ::testing::Test {
 protected:
  EngineSessionTest() {
    portInit();
    loop.session = &session;
    settings.port = 2;  // COM3, never a real device: mapped below
    settings.captureFile = folder.file("capture.txt");
    settings.termCapture = 1;
    settings.termEcho = 1;
    store.writeText("Ports", "COM3", pair.slavePath());
  }
  ~EngineSessionTest() override {
    session.disconnect();
    portTerm();
  }

  traffic::TempHome folder;
  testing::PtyLine pair;
  TerminalSettings settings;
  ScreenBuffer screen{settings.termInCR};
  MemorySettingsStore store;
  traffic::FakeUi ui;
  SessionLoop loop;
  EngineLink link{&loop};
  TerminalSession session{settings, screen, link, store, ui};
};

std::string asText(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST_F(EngineSessionTest, TypedAndReceivedBytesCrossTheLineIntact) {
  settings.termOutCR = 1;
  ASSERT_TRUE(session.connect()) << (ui.errors.empty() ? "" : ui.errors[0]);

  for (unsigned char key : std::string("hi\r")) session.onChar(key);
  EXPECT_EQ(asText(pair.receive(4)), "hi\r\n");

  const std::string greeting = "ABC\r\nDEF";
  ASSERT_TRUE(pair.send({greeting.begin(), greeting.end()}));
  ASSERT_TRUE(loop.pumpBytes(greeting.size()));
  traffic::expectScreen(screen, {{"hi", "ABC", "DEF"}, 2, 3});

  // More than a few blocks, every byte value the line carries unchanged.
  const std::vector<std::uint8_t> burst = testing::linePattern(5000);
  ASSERT_TRUE(pair.send(burst));
  ASSERT_TRUE(loop.pumpBytes(greeting.size() + burst.size()));

  EXPECT_EQ(traffic::readWholeFile(settings.captureFile), "hi\r\n" + greeting + asText(burst));
  EXPECT_TRUE(ui.errors.empty());
}

TEST_F(EngineSessionTest, SentFileLinesReachTheFarEndOneByOne) {
  ASSERT_TRUE(session.connect());
  FileSender sender{settings, screen, link, ui};
  ui.openAnswer = folder.file("send.txt");
  traffic::writeWholeFile(*ui.openAnswer, "first\r\n" + std::string(300, 'z') + "\n");
  sender.start();

  sender.onTimer();
  EXPECT_EQ(asText(pair.receive(7)), "first\r\n");
  sender.onTimer();
  EXPECT_EQ(asText(pair.receive(200)), std::string(198, 'z') + "\r\n");
  sender.onTimer();
  EXPECT_EQ(sender.sending(), 0);
  EXPECT_FALSE(pair.waitFor(POLLIN, std::chrono::milliseconds(50))) << "nothing more was sent";
}

// The adapter pulled out and put back: the session goes on by itself, with
// no box, and what comes after lands on the screen and in the capture file.
TEST_F(EngineSessionTest, AfterTheDeviceComesBackTrafficGoesOnWithoutAnyAction) {
  testing::LineLink mapping;
  mapping.pointTo(pair.slavePath());
  store.writeText("Ports", "COM3", mapping.path());
  ASSERT_TRUE(session.connect()) << (ui.errors.empty() ? "" : ui.errors[0]);
  const std::string before = "before\r\n";
  ASSERT_TRUE(pair.send({before.begin(), before.end()}));
  ASSERT_TRUE(loop.pumpBytes(before.size()));

  mapping.pointNowhere();  // before the number is free for another test's line
  pair.closeMaster();
  ASSERT_TRUE(loop.pumpUntil([&] { return loop.errors == 1; }, std::chrono::seconds(5)));
  session.onChar('x');  // the line is down: goes nowhere, still echoed and captured
  testing::PtyLine back;
  mapping.pointTo(back.slavePath());

  const std::string after = "after";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (testing::descriptorsOn(back.slavePath()) == 0 && std::chrono::steady_clock::now() < deadline) {
    loop.pumpFor(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(back.send({after.begin(), after.end()}));
  ASSERT_TRUE(loop.pumpBytes(before.size() + after.size(), std::chrono::seconds(5)))
      << "nothing received after the device came back";
  session.onChar('y');
  EXPECT_EQ(asText(back.receive(1, std::chrono::seconds(5))), "y");

  traffic::expectScreen(screen, {{"before", "xaftery"}, 1, 7});
  EXPECT_EQ(traffic::readWholeFile(settings.captureFile), before + "x" + after + "y");
  EXPECT_TRUE(ui.errors.empty()) << "a box was shown";
  EXPECT_TRUE(link.isOpen());
}

TEST_F(EngineSessionTest, MissingDeviceNamesThePortAndTheReason) {
  settings.port = 4;  // COM5
  const std::string missing = folder.file("no-such-device");
  store.writeText("Ports", "COM5", missing);

  EXPECT_FALSE(session.connect());

  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Can't initialize COM5 port!\n" + missing + ": No such file or directory");
  EXPECT_FALSE(link.isOpen());
}

}  // namespace
}  // namespace tevra
