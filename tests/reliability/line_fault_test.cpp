// The line failing under the program: a hang-up in the middle of a flood,
// reconnects hammered during one, and the program itself killed mid-capture.

#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

using LineFaultTest = ReliabilityFixture;

TEST_F(LineFaultTest, AfterAHangUpMidFloodTheWindowAnswersIdlesAndReconnectsToTheDeviceBack) {
  const fs::path capture = run_.folder() / "hangup.cap";
  startCapturingTo(capture);
  const std::string sent = floodPayload(8 * kMiB, 3);
  {
    Flood flood(line().master(), sent);
    ASSERT_TRUE(waitUntil([&] { return reportNumber("bytes_received") > 256 * 1024; }))
        << run_.appLog();
  }
  hangUp();

  // What arrived before the hang-up is all in the capture, in order.
  long received = -1;
  ASSERT_TRUE(waitUntil([&] {
    const long before = received;
    std::this_thread::sleep_for(300ms);
    received = reportNumber("bytes_received");
    return received == before;
  }));
  const std::string captured = fileText(capture);
  EXPECT_EQ(static_cast<long>(captured.size()), received);
  EXPECT_EQ(firstDifference(captured, sent), std::string::npos);

  // The window still acts on a menu command.
  ASSERT_EQ(run_.report()["checked_40012"], "1");
  run_.chooseCommand(res::kCmdEcho);
  EXPECT_TRUE(waitUntil([&] { return run_.report()["checked_40012"] == "0"; }))
      << "the menu did not answer";

  // A line that keeps reporting its hang-up must not be polled in a loop.
  const pid_t pid = run_.app().pid();
  std::this_thread::sleep_for(500ms);
  const long ticksBefore = cpuTicks(pid);
  std::this_thread::sleep_for(2s);
  const long idleTicks = cpuTicks(pid) - ticksBefore;
  const long hz = sysconf(_SC_CLK_TCK);
  EXPECT_LE(idleTicks, hz / 10) << "CPU used in 2 s after the hang-up: " << idleTicks
                                << " ticks of " << hz;
  std::cout << "CPU in 2 s after the hang-up: " << idleTicks << " ticks (" << hz
            << " per second)\n";
  RecordProperty("idle_ticks_after_hangup", static_cast<int>(idleTicks));

  // The device back (a new line behind the same name): Settings, OK reconnects.
  replaceLine();
  ASSERT_TRUE(settingsOk()) << run_.appLog();
  ASSERT_TRUE(waitUntil([&] { return run_.report()["port_open"] == "1"; }));
  EXPECT_EQ(boxes(), 0) << "the reconnect failed";
  line().write("back again");
  EXPECT_TRUE(waitReceived(received + 10)) << run_.appLog();
  EXPECT_EQ(fileText(capture), captured + "back again");
  run_.focus(main_);
  run_.keys({"z"});
  EXPECT_EQ(line().readUntil("z"), "z");
}

TEST_F(LineFaultTest, SettingsOkOverAndOverDuringAFloodNeitherHangsNorCrashes) {
  const long repeats = scaled("TEVRA_SETTINGS_REPEATS", 25, 10);
  startWith();
  Flood flood(line().master(), floodPayload(64 * 1024, 4), /*repeat=*/true);
  ASSERT_TRUE(waitUntil([&] { return reportNumber("bytes_received") > 0; }));

  for (long round = 1; round <= repeats; ++round) {
    ASSERT_TRUE(settingsOk()) << "round " << round << "\n" << run_.appLog();
    ASSERT_TRUE(run_.app().running()) << "round " << round << "\n" << run_.appLog();
  }
  EXPECT_EQ(boxes(), 0) << "a reopen failed";
  EXPECT_EQ(run_.report()["port_open"], "1");

  // The last reopen still receives and sends.
  const long receivedNow = reportNumber("bytes_received");
  EXPECT_TRUE(waitUntil([&] { return reportNumber("bytes_received") > receivedNow + 64 * 1024; }))
      << "receiving stopped\n"
      << run_.appLog();
  flood.stop();
  line().drain();
  run_.focus(main_);
  run_.keys({"y"});
  EXPECT_EQ(line().readUntil("y"), "y");
  std::cout << repeats << " reconnects during a flood; " << flood.written()
            << " bytes written to the line, " << reportNumber("bytes_received") << " received\n";
}

TEST_F(LineFaultTest, AProgramKilledMidCaptureLeavesEveryChunkItReceived) {
  const fs::path capture = run_.folder() / "killed.cap";
  startCapturingTo(capture);
  const std::string sent =
      floodPayload(static_cast<std::size_t>(scaled("TEVRA_FLOOD_MIB", 8, 2)) * kMiB, 5);
  Flood flood(line().master(), sent);
  long received = 0;
  ASSERT_TRUE(waitUntil([&] {
    received = reportNumber("bytes_received");
    return received > static_cast<long>(sent.size() / 8);
  })) << run_.appLog();
  run_.app().signal(SIGKILL);
  ASSERT_EQ(run_.app().waitExit(), -SIGKILL);
  flood.stop();

  const std::string captured = fileText(capture);
  EXPECT_GE(static_cast<long>(captured.size()), received) << "chunks reported received are missing";
  EXPECT_LE(static_cast<long>(captured.size()), flood.written());
  EXPECT_EQ(firstDifference(captured, sent), std::string::npos)
      << "the capture is not a prefix of the line";
  std::cout << "killed after " << received << " bytes reported; capture holds " << captured.size()
            << "\n";
}

}  // namespace
}  // namespace tevra::apptest
