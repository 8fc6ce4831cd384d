#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/traffic/TrafficFixture.h"

#ifdef _WIN32
#include <windows.h>

#include "tests/support/OtherWriter.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/serial/Watchdog.h"
#include "tests/traffic/SmallFileSystem.h"
#endif

namespace tevra {
namespace {

using traffic::SessionFixture;
using traffic::screenRow;

using CaptureFaultTest = SessionFixture;

TEST_F(CaptureFaultTest, FileThatCannotBeOpenedIsSkippedSilently) {
  struct Case {
    const char* what;
    std::string path;
    std::function<void()> breakIt, mendIt;
  };
  const std::string missingFolder = folder.file("missing");
  const std::string directory = folder.file("directory");
  const std::string readOnly = folder.file("read-only.txt");
  std::vector<Case> cases = {
      {"a folder that does not exist", missingFolder + "/capture.txt", [] {},
       [&] { std::filesystem::create_directory(missingFolder); }},
      {"a directory", directory, [&] { std::filesystem::create_directory(directory); },
       [&] { std::filesystem::remove(directory); }},
  };
  // The mode counts only where it keeps writers out: root, and Wine run by
  // root, write through it.
  traffic::writeWholeFile(readOnly, "");
  std::filesystem::permissions(readOnly, std::filesystem::perms(0444));
  if (!std::ofstream(readOnly, std::ios::app)) {
    cases.push_back({"a read-only file", readOnly, [] {},
                     [&] { std::filesystem::permissions(readOnly, std::filesystem::perms(0644)); }});
  }
#ifndef _WIN32
  traffic::SmallFileSystem readOnlyFileSystem(folder.file("read-only-fs"));
  if (readOnlyFileSystem.mounted()) {
    cases.push_back({"a read-only file system", readOnlyFileSystem.file("capture.txt"),
                     [&] { readOnlyFileSystem.setReadOnly(true); },
                     [&] { readOnlyFileSystem.setReadOnly(false); }});
  }
#endif

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    settings.captureFile = c.path;
    c.breakIt();

    receive("lost");
    type("x");
    EXPECT_TRUE(ui.errors.empty());
    EXPECT_EQ(settings.termCapture, 1);

    c.mendIt();
    receive("kept");
    EXPECT_EQ(captured(), "kept") << "the next chunk tries again";
  }
}

#ifndef _WIN32

TEST_F(CaptureFaultTest, FullDeviceRaisesOneBoxUntilCaptureChanges) {
  settings.captureFile = "/dev/full";
  settings.termEcho = 0;

  for (int chunk = 0; chunk < 20; ++chunk) receive("data");
  type("ab");

  ASSERT_EQ(ui.errors.size(), 1u) << "one box for a steady stream, not one per chunk";
  EXPECT_EQ(ui.errors[0], "Can't write to the capture file /dev/full: No space left on device");
  EXPECT_EQ(settings.termCapture, 1);
  EXPECT_EQ(link.allWritten(), "ab") << "the line does not depend on the capture";
  EXPECT_EQ(screenRow(screen, 0).size(), 80u) << "received data is still shown";

  session.toggleCapture();
  session.toggleCapture();
  receive("data");
  receive("data");
  EXPECT_EQ(ui.errors.size(), 2u) << "capture switched off and on again";

  ui.saveAnswer = "/dev/full";
  session.chooseCaptureFile();
  receive("data");
  EXPECT_EQ(ui.errors.size(), 3u) << "the capture file was chosen again";
}

TEST_F(CaptureFaultTest, ChunksArrivingWhileTheBoxIsUpRaiseNoOther) {
  settings.captureFile = "/dev/full";
  ui.whileErrorShown = [&] {
    if (ui.errors.size() > 3) return;  // a nested box per chunk would recurse without end
    for (int chunk = 0; chunk < 3; ++chunk) receive("meanwhile");
  };

  receive("first");

  EXPECT_EQ(ui.errors.size(), 1u);
}

// A capture file that is a FIFO: the window must never wait for its reader.
class CaptureFifoTest : public SessionFixture {
 protected:
  void SetUp() override {
    // As the program does: a reader that leaves is a write error, not the end.
    ::signal(SIGPIPE, SIG_IGN);
    settings.captureFile = folder.file("capture.fifo");
    ASSERT_EQ(::mkfifo(settings.captureFile.c_str(), 0600), 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (reader_ >= 0) ::close(reader_);
  }

  void openReader() { reader_ = ::open(settings.captureFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }
  void closeReader() {
    ::close(reader_);
    reader_ = -1;
  }
  std::string readAll() {
    std::string bytes;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(reader_, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<std::size_t>(n));
    return bytes;
  }

  testing::Watchdog watchdog_{std::chrono::seconds(60), "a capture into a FIFO hung"};
  int reader_ = -1;
};

TEST_F(CaptureFifoTest, WithoutAReaderTheChunkIsSkippedSilently) {
  receive("lost");
  type("x");
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(settings.termCapture, 1);

  openReader();
  receive("kept");
  EXPECT_EQ(readAll(), "kept") << "the next chunk tries again";
}

// Readers that come and go while chunks are captured: a reader gone between the
// open and the write is a broken pipe, reported like any write failure (once
// until a write succeeds again); a reader gone before the open is a file that
// cannot be opened, skipped silently. Nothing ends the program.
TEST_F(CaptureFifoTest, ReadersThatLeaveAreWriteFailuresAndNeverEndTheProgram) {
  std::atomic<bool> done{false};
  std::thread readers([&] {
    char chunk[4096];
    for (int visit = 0; visit < 2000; ++visit) {
      const int fd = ::open(settings.captureFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      (void)!::read(fd, chunk, sizeof chunk);
      ::close(fd);
    }
    done = true;
  });
  const std::string chunk(511, 'c');
  int chunks = 0;
  while (!done) {
    receive(chunk);
    ++chunks;
  }
  readers.join();
  EXPECT_LT(ui.errors.size(), static_cast<std::size_t>(chunks));
  for (const std::string& error : ui.errors) {
    EXPECT_EQ(error, "Can't write to the capture file " + settings.captureFile + ": Broken pipe");
  }
  EXPECT_EQ(settings.termCapture, 1);
}

TEST_F(CaptureFifoTest, AReaderThatFallsBehindNeverStallsTheWindow) {
  openReader();
  const std::string chunk(511, 'c');
  std::string sent;
  for (int count = 0; count < 400; ++count) {  // 200 KB, more than a pipe holds
    receive(chunk);
    sent += chunk;
  }
  EXPECT_TRUE(ui.errors.empty()) << "a slow reader is not a failure";
  const std::string got = readAll();
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), sent.size()) << "what did not fit was dropped";
  EXPECT_EQ(got, sent.substr(0, got.size())) << "what was written is the stream's start";

  receive("after");
  EXPECT_EQ(readAll(), "after") << "once there is room, chunks go in whole again";
}

// A small file system filled up and freed again by a filler file.
class FullFileSystemTest : public SessionFixture {
 protected:
  void SetUp() override {
    if (!fileSystem.mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << fileSystem.whyNot()
                   << " (the full-device case covers the failure)";
    }
    settings.captureFile = fileSystem.file("capture.txt");
    settings.termEcho = 0;
  }

  void fillUp() {
    std::ofstream filler(fileSystem.file("filler"), std::ios::binary | std::ios::app);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  void freeUp() { std::filesystem::remove(fileSystem.file("filler")); }

  traffic::SmallFileSystem fileSystem{folder.file("small")};
};

TEST_F(FullFileSystemTest, ReportsOnceAndAgainAfterAWriteSucceeded) {
  const std::string chunk(511, 'r');
  receive("start");
  fillUp();

  std::string sent = "start";
  for (int count = 0; count < 40; ++count) {
    receive(chunk);
    sent += chunk;
  }
  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Can't write to the capture file " + settings.captureFile +
                              ": No space left on device");
  const std::string kept = captured();
  EXPECT_EQ(kept, sent.substr(0, kept.size())) << "what was written is the stream's start";
  EXPECT_LT(kept.size(), sent.size());

  freeUp();
  receive("after");
  EXPECT_EQ(captured(), kept + "after");
  EXPECT_EQ(ui.errors.size(), 1u);

  fillUp();
  for (int count = 0; count < 40; ++count) receive(chunk);
  EXPECT_EQ(ui.errors.size(), 2u) << "a new failure after a good write is reported again";
  EXPECT_EQ(settings.termCapture, 1);
}

#else  // _WIN32

// The capture file is opened to append and shared for reading only: a viewer
// that lets writers in reads every chunk as it comes, while another program
// writing it, or a reader that keeps writers out, makes the chunk skipped
// silently until it lets go.
class CaptureSharingTest : public SessionFixture {
 protected:
  CaptureSharingTest() {
    settings.termEcho = 0;
    traffic::writeWholeFile(settings.captureFile, "");
  }

  // A handle of another program on the capture file, reading with `share`.
  HANDLE openReader(DWORD share) const {
    return CreateFileA(settings.captureFile.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  static std::string readRest(HANDLE file) {
    std::string bytes;
    char chunk[4096];
    DWORD count = 0;
    while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) bytes.append(chunk, count);
    return bytes;
  }
};

TEST_F(CaptureSharingTest, AViewerReadsEachChunkWhileCaptureGoesOn) {
  const HANDLE viewer = openReader(FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE) << GetLastError();

  receive("first ");
  EXPECT_EQ(readRest(viewer), "first ");
  receive("second");
  type("typed");
  EXPECT_EQ(readRest(viewer), "secondtyped");
  CloseHandle(viewer);

  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(captured(), "first secondtyped");
}

TEST_F(CaptureSharingTest, WhoKeepsWritersOutMakesTheChunkSkippedSilently) {
  {
    testing::OtherWriter writer(settings.captureFile);
    ASSERT_TRUE(writer.holds());
    receive("lost");
  }
  receive("after the writer, ");
  const HANDLE reader = openReader(FILE_SHARE_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
  receive("lost");
  type("x");
  CloseHandle(reader);
  receive("after the reader");

  EXPECT_EQ(captured(), "after the writer, after the reader") << "each next chunk tries again";
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_EQ(settings.termCapture, 1);
}

#endif  // _WIN32

}  // namespace
}  // namespace tevra
