#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/FileSender.h"
#include "tests/serial/Watchdog.h"
#include "tests/support/OtherWriter.h"
#include "tests/traffic/TrafficFixture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tevra {
namespace {

using traffic::screenIsBlank;

class SenderTest : public traffic::SessionFixture {
 protected:
  SenderTest() { settings.termEcho = 0; }

  void startWith(const std::string& content) {
    const std::string path = folder.file("send.txt");
    traffic::writeWholeFile(path, content);
    ui.openAnswer = path;
    sender.start();
  }

  // Ticks until the sender stops; returns the number of ticks it took.
  int tickToEnd() {
    int ticks = 0;
    while (sender.sending() && ticks < 1000) {
      sender.onTimer();
      ++ticks;
    }
    return ticks;
  }

  FileSender sender{settings, screen, link, ui};
};

struct FileCase {
  const char* what;
  std::string content;
  std::vector<std::string> lines;  // each one write, CR LF included
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.what; }

class SentFileTest : public SenderTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(SentFileTest, SendsOneLinePerTickAndStopsAtTheEnd) {
  const FileCase& c = GetParam();
  startWith(c.content);
  ASSERT_EQ(sender.sending(), 1);
  ASSERT_EQ(ui.timerStarts, (std::vector<std::pair<int, int>>{{1, 500}}));
  EXPECT_EQ(sender.timerId(), 1);

  for (std::size_t tick = 0; tick < c.lines.size(); ++tick) {
    sender.onTimer();
    ASSERT_EQ(link.writes.size(), tick + 1) << "one write per tick";
    EXPECT_EQ(link.writes[tick], c.lines[tick]) << "tick " << tick;
    EXPECT_EQ(sender.sending(), 1);
  }
  const int optionNotices = ui.optionsChangedCount;
  sender.onTimer();  // finds the end

  EXPECT_EQ(sender.sending(), 0);
  EXPECT_EQ(sender.timerId(), 0);
  EXPECT_EQ(ui.timerKills, std::vector<int>{1});
  EXPECT_EQ(ui.optionsChangedCount, optionNotices + 1) << "the check mark is cleared";
  EXPECT_EQ(link.writes.size(), c.lines.size());
  sender.onTimer();
  EXPECT_EQ(link.writes.size(), c.lines.size());
}

const std::string kLong(198, 'x');
const std::string kCrOnlyLines = [] {
  std::string text;
  for (int line = 0; line < 50; ++line) text += "line\r";
  return text;
}();

INSTANTIATE_TEST_SUITE_P(
    TextFiles, SentFileTest,
    ::testing::Values(
        FileCase{"three lines", "one\ntwo\r\nthree\n", {"one\r\n", "two\r\n", "three\r\n"}},
        FileCase{"empty lines", "a\n\n\r\nb\n", {"a\r\n", "\r\n", "\r\n", "b\r\n"}},
        FileCase{"empty file", "", {}},
        FileCase{"300-byte line", std::string(300, 'x') + "\nnext\n",
                 {kLong + "\r\n", "next\r\n"}},
        FileCase{"CR-only line ends", kCrOnlyLines, {kCrOnlyLines.substr(0, 198) + "\r\n"}},
        FileCase{"a lone CR stays before CR LF", "a\r\r\nb\n", {"a\r\r\n", "b\r\n"}},
        FileCase{"last line without line end", "first\nlast", {"first\r\n", "last\r\n"}},
        FileCase{"long last line without line end", std::string(250, 'x'), {kLong + "\r\n"}},
        FileCase{"0x1A ends the file", "one\ntw\x1Ao\nthree\n", {"one\r\n", "tw\r\n"}},
        FileCase{"0x1A first", "\x1A" "after\n", {}},
        FileCase{"NUL ends the line's text", std::string("ab\0cd\nef\n", 9), {"ab\r\n", "ef\r\n"}},
        FileCase{"NUL before CR LF", std::string("ab\0c\r\nd", 7), {"ab\r\n", "d\r\n"}},
        FileCase{"1 MB line", std::string(1 << 20, 'm') + "\nend\n",
                 {std::string(198, 'm') + "\r\n", "end\r\n"}}),
    [](const ::testing::TestParamInfo<FileCase>& info) {
      std::string name;
      for (char ch : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

TEST_F(SenderTest, ChooserStartsAtTheSendPathWithTheTextFilter) {
  settings.sendFile = "/somewhere/last.txt";
  ui.openAnswer = folder.file("chosen.txt");
  traffic::writeWholeFile(*ui.openAnswer, "x\n");

  sender.start();

  ASSERT_EQ(ui.openChooserCalls.size(), 1u);
  EXPECT_EQ(ui.openChooserCalls[0].initialPath, "/somewhere/last.txt");
  EXPECT_EQ(ui.openChooserCalls[0].filter, "Text files (*.txt)|*.txt|All files (*.*)|*.*||");
  EXPECT_EQ(settings.sendFile, folder.file("chosen.txt"));
}

TEST_F(SenderTest, WithThePortClosedLinesAreOnlyEchoed) {
  link.lineOpen = false;
  settings.termEcho = 1;
  startWith("first\nsecond\n");

  EXPECT_EQ(tickToEnd(), 3);

  EXPECT_TRUE(link.writes.empty());
  traffic::expectScreen(screen, {{"first", "second"}, 2, 0});
}

TEST_F(SenderTest, EchoOffShowsNothingAndSentLinesAreNeverCaptured) {
  startWith("first\nsecond\n");
  tickToEnd();

  EXPECT_EQ(link.allWritten(), "first\r\nsecond\r\n");
  EXPECT_TRUE(screenIsBlank(screen));
  EXPECT_FALSE(std::filesystem::exists(settings.captureFile));
}

TEST_F(SenderTest, FileThatCannotBeOpenedSendsNothingSilently) {
  const std::string locked = folder.file("locked.txt");
  traffic::writeWholeFile(locked, "secret\n");
  std::optional<testing::OtherWriter> writer(locked);
  ASSERT_TRUE(writer->holds());

  for (const std::string& path : {folder.file("missing.txt"), locked}) {
    SCOPED_TRACE(path);
    ui.openAnswer = path;
    const int notices = ui.optionsChangedCount;
    sender.start();
    EXPECT_EQ(sender.sending(), 0);
    EXPECT_EQ(sender.timerId(), 0);
    EXPECT_EQ(settings.sendFile, path);
    EXPECT_GT(ui.optionsChangedCount, notices);
    sender.onTimer();
  }
  writer.reset();
  EXPECT_TRUE(ui.timerStarts.empty());
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_TRUE(link.writes.empty());
}

// A line longer than a tick may read: its start goes out at once, the rest is
// skipped a bounded step per tick, and the next line follows.
TEST_F(SenderTest, ALineLongerThanATickMayReadIsSkippedInBoundedSteps) {
  startWith(std::string(3 * FileSender::kMaxReadPerTick, 'z') + "\nnext\n");
  sender.onTimer();
  ASSERT_EQ(link.writes, std::vector<std::string>{std::string(198, 'z') + "\r\n"});
  int quietTicks = 0;
  while (link.writes.size() == 1 && quietTicks < 100) {
    sender.onTimer();
    if (link.writes.size() == 1) ++quietTicks;
  }
  EXPECT_GE(quietTicks, 2) << "more than one tick's reading in one tick";
  EXPECT_EQ(link.writes, (std::vector<std::string>{std::string(198, 'z') + "\r\n", "next\r\n"}));
  sender.onTimer();
  EXPECT_EQ(sender.sending(), 0);
}

TEST_F(SenderTest, WritersThatLockAreKeptOutWhileSending) {
  startWith("a\nb\n");

  EXPECT_FALSE(testing::OtherWriter(settings.sendFile).holds());
  sender.stop();
  EXPECT_TRUE(testing::OtherWriter(settings.sendFile).holds()) << "stopping releases the file";
}

TEST_F(SenderTest, CancelledChooserLeavesASendingUnderWay) {
  startWith("one\ntwo\n");
  sender.onTimer();
  ui.openAnswer.reset();

  sender.start();

  EXPECT_EQ(sender.sending(), 1);
  EXPECT_TRUE(ui.timerKills.empty());
  sender.onTimer();
  EXPECT_EQ(link.allWritten(), "one\r\ntwo\r\n");
}

TEST_F(SenderTest, NewStartStopsTheOldFileFirst) {
  startWith("old 1\nold 2\n");
  sender.onTimer();
  const std::string next = folder.file("next.txt");
  traffic::writeWholeFile(next, "new\n");
  ui.openAnswer = next;

  sender.start();
  tickToEnd();

  EXPECT_EQ(link.allWritten(), "old 1\r\nnew\r\n");
  EXPECT_EQ(ui.timerStarts.size(), 2u);
  EXPECT_EQ(ui.timerKills, (std::vector<int>{1, 1}));
}

TEST_F(SenderTest, StopEndsTheSending) {
  startWith("one\ntwo\n");
  sender.onTimer();

  sender.stop();

  EXPECT_EQ(sender.sending(), 0);
  EXPECT_EQ(sender.timerId(), 0);
  EXPECT_EQ(ui.runningTimer, 0);
  sender.onTimer();
  EXPECT_EQ(link.allWritten(), "one\r\n");
  sender.stop();  // idle: nothing to kill
  EXPECT_EQ(ui.timerKills.size(), 1u);
}

TEST_F(SenderTest, TimerThatCannotStartLeavesTheSenderIdle) {
  ui.timerFails = true;
  startWith("one\n");

  EXPECT_EQ(sender.sending(), 0);
  EXPECT_EQ(sender.timerId(), 0);
  sender.onTimer();
  EXPECT_TRUE(link.writes.empty());
}


#ifndef _WIN32

// Files that never end (a device, a FIFO) are files that cannot be opened: a tick
// would otherwise read them without end.
TEST_F(SenderTest, AFileThatIsNotARegularFileSendsNothingSilently) {
  testing::Watchdog watchdog(std::chrono::seconds(60), "the sender read a file without end");
  const std::string fifo = folder.file("send.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string fedFifo = folder.file("fed.fifo");
  ASSERT_EQ(::mkfifo(fedFifo.c_str(), 0600), 0);
  const int reader = ::open(fedFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int writer = ::open(fedFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "line\n", 5), 5);

  for (const std::string& path : {std::string("/dev/zero"), fifo, fedFifo}) {
    SCOPED_TRACE(path);
    ui.openAnswer = path;
    sender.start();
    EXPECT_EQ(sender.sending(), 0);
    sender.onTimer();
  }
  ::close(writer);
  ::close(reader);
  EXPECT_TRUE(ui.timerStarts.empty());
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_TRUE(link.writes.empty());
}

TEST_F(SenderTest, ReadErrorIsReportedOnceAndStopsTheSending) {
  const std::string directory = folder.file("a-folder");
  std::filesystem::create_directory(directory);
  ui.openAnswer = directory;  // opens, but every read fails
  sender.start();
  ASSERT_EQ(sender.sending(), 1);
  ui.whileErrorShown = [&] {
    if (ui.errors.size() < 3) sender.onTimer();  // a tick while the box is up
  };

  sender.onTimer();
  sender.onTimer();

  ASSERT_EQ(ui.errors.size(), 1u);
  EXPECT_EQ(ui.errors[0], "Can't read the file " + directory + ": Is a directory");
  EXPECT_EQ(sender.sending(), 0);
  EXPECT_EQ(ui.runningTimer, 0);
  EXPECT_TRUE(link.writes.empty());
}

#else  // _WIN32

// The file being sent is open for us alone: no other program opens it
// meanwhile, not even to read, and one that holds it open keeps the sending
// from starting.
TEST_F(SenderTest, TheFileBeingSentIsOpenForUsAlone) {
  const auto otherReader = [](const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  startWith("a\nb\n");
  EXPECT_EQ(otherReader(settings.sendFile), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  sender.stop();
  const HANDLE reader = otherReader(settings.sendFile);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "stopping releases the file";

  sender.start();
  EXPECT_EQ(sender.sending(), 0) << "a reader holds the file";
  CloseHandle(reader);
  sender.start();
  EXPECT_EQ(sender.sending(), 1);
  EXPECT_TRUE(ui.errors.empty());
}

// A folder, a device and a pipe are not files on disk: nothing is sent and no
// box comes up (a device or a pipe may never end).
TEST_F(SenderTest, WhatIsNotAFileOnDiskSendsNothingSilently) {
  testing::Watchdog watchdog(std::chrono::seconds(60), "the sender read a file without end");
  const std::string directory = folder.file("a-folder");
  std::filesystem::create_directory(directory);
  const std::string pipeName = "\\\\.\\pipe\\" + folder.path().filename().string();
  const HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                       0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();

  for (const std::string& path : {directory, std::string("NUL"), pipeName}) {
    SCOPED_TRACE(path);
    ui.openAnswer = path;
    sender.start();
    EXPECT_EQ(sender.sending(), 0);
    EXPECT_EQ(settings.sendFile, path);
    sender.onTimer();
  }
  CloseHandle(pipe);
  EXPECT_TRUE(ui.timerStarts.empty());
  EXPECT_TRUE(ui.errors.empty());
  EXPECT_TRUE(link.writes.empty());
}

#endif  // _WIN32

}  // namespace
}  // namespace tevra
