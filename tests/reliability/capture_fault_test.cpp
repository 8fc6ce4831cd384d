// The capture file's folder failing under a flood: removed, made read-only,
// full. The program goes on receiving, raises at most one box, and captures
// again once it can.

#include <iostream>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

class CaptureFaultTest : public ReliabilityFixture {
 protected:
  // Writes `bytes` to the line and waits until the program has them all.
  void receive(const std::string& bytes) {
    const long before = reportNumber("bytes_received");
    Flood flood(line().master(), bytes);
    ASSERT_TRUE(waitReceived(before + static_cast<long>(bytes.size()), 120s)) << run_.appLog();
  }

  // True when no box shows up within a second.
  bool noBoxAppears() {
    return !waitUntil([&] { return boxes() > 0; }, 1s);
  }

  std::size_t chunk() const {
    return static_cast<std::size_t>(scaled("TEVRA_CAPTURE_FAULT_KIB", 512, 128)) * 1024;
  }
};

TEST_F(CaptureFaultTest, ARemovedFolderSkipsChunksQuietlyAndCaptureResumesWhenItIsBack) {
  const fs::path folder = run_.folder() / "captures";
  fs::create_directory(folder);
  const fs::path capture = folder / "traffic.cap";
  startCapturingTo(capture);

  const std::string before = floodPayload(chunk(), 6);
  receive(before);
  ASSERT_EQ(fileText(capture), before);

  // Removed in the middle of a flood.
  const std::string during = floodPayload(chunk(), 7);
  {
    Flood flood(line().master(), during);
    ASSERT_TRUE(waitUntil([&] { return flood.written() > 0; }));
    // Renamed away first: a file the program creates meanwhile cannot stop the removal.
    const fs::path gone = folder.string() + ".gone";
    fs::rename(folder, gone);
    fs::remove_all(gone);
    ASSERT_TRUE(flood.waitFinished(120s));
  }
  ASSERT_TRUE(waitReceived(static_cast<long>(before.size() + during.size()), 120s))
      << run_.appLog();
  EXPECT_TRUE(run_.app().running());
  EXPECT_TRUE(noBoxAppears())
      << "a capture file that cannot be opened is skipped without a message";
  EXPECT_EQ(run_.report()["checked_40021"], "1") << "capture stays on";

  fs::create_directory(folder);
  const std::string after = "captured again\r\n";
  receive(after);
  EXPECT_EQ(fileText(capture), after);
}

TEST_F(CaptureFaultTest, AFolderMadeReadOnlySkipsChunksQuietlyAndCaptureResumesWhenWritable) {
  // Root writes into a folder whatever its mode says: a read-only mount holds for everyone.
  SmallFileSystem folder(run_.folder() / "readonly", 16 * kMiB);
  if (!folder.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  const fs::path capture = run_.folder() / "readonly" / "traffic.cap";
  startCapturingTo(capture);

  const std::string sent = floodPayload(16 * chunk(), 8);
  long written = 0;
  {
    Flood flood(line().master(), sent);
    ASSERT_TRUE(
        waitUntil([&] { return reportNumber("bytes_received") >= static_cast<long>(chunk()); }));
    // The remount waits for a moment when the program has no file open there.
    ASSERT_TRUE(waitUntil([&] { return folder.setReadOnly(true); }));
    flood.stop();
    written = flood.written();
  }
  ASSERT_TRUE(waitReceived(written, 120s)) << run_.appLog();
  EXPECT_TRUE(run_.app().running());
  EXPECT_TRUE(noBoxAppears())
      << "a capture file that cannot be opened is skipped without a message";
  const std::string readOnlyCapture = fileText(capture);
  EXPECT_GE(readOnlyCapture.size(), chunk());
  EXPECT_LE(static_cast<long>(readOnlyCapture.size()), written);
  EXPECT_EQ(firstDifference(readOnlyCapture, sent), std::string::npos);
  // The flood may have drained before the remount took hold, so one more
  // chunk arrives for certain while the folder is read-only.
  receive("arrived while read-only\r\n");
  EXPECT_TRUE(noBoxAppears());
  EXPECT_EQ(fileText(capture), readOnlyCapture) << "a chunk that cannot be captured is skipped";

  ASSERT_TRUE(folder.setReadOnly(false));
  const std::string after = "captured again\r\n";
  receive(after);
  EXPECT_EQ(fileText(capture), readOnlyCapture + after);
}

TEST_F(CaptureFaultTest, AFullFileSystemRaisesOneBoxNotOnePerChunk) {
  constexpr std::size_t kRoom = 64 * 1024;
  SmallFileSystem folder(run_.folder() / "small", kRoom);
  if (!folder.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  const fs::path capture = run_.folder() / "small" / "traffic.cap";
  startCapturingTo(capture);

  // Many times the room: hundreds of chunks fail to write. Receiving waits
  // while the box is up (it is modal) and goes on once it is dismissed.
  const std::string sent = floodPayload(std::max<std::size_t>(chunk(), 8 * kRoom), 10);
  Flood flood(line().master(), sent);
  ASSERT_TRUE(waitUntil([&] { return boxes() > 0; })) << "a failed capture write was not reported";
  std::this_thread::sleep_for(1s);  // a storm would show by now
  const int shown = boxes();
  EXPECT_EQ(shown, 1);
  run_.screenshot("full");

  const auto box = run_.waitForDialog("Terminal");
  ASSERT_TRUE(box);
  ASSERT_TRUE(run_.dismiss(*box, "Return"));
  ASSERT_TRUE(waitReceived(static_cast<long>(sent.size()), 120s)) << run_.appLog();
  EXPECT_TRUE(noBoxAppears()) << "the same failure was reported again";
  EXPECT_TRUE(run_.app().running());
  const std::string captured = fileText(capture);
  EXPECT_LE(captured.size(), kRoom);
  EXPECT_EQ(firstDifference(captured, sent), std::string::npos)
      << "the capture is not a prefix of the line";

  std::cout << "full file system: " << shown << " box(es) for " << sent.size() / 511
            << "+ chunks; capture holds " << captured.size() << " bytes\n";
  RecordProperty("boxes_for_full_file_system", shown);
}

}  // namespace
}  // namespace tevra::apptest
