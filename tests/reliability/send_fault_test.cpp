// The file to send failing under the sender: deleted while it is being sent,
// held by another program when it is chosen.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

class SendFaultTest : public ReliabilityFixture {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(startWith()); }

  fs::path writeFile(const std::string& name, const std::string& text) {
    const fs::path file = run_.folder() / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  std::string sendingMark() { return run_.report()["checked_40023"]; }
};

TEST_F(SendFaultTest, AFileDeletedWhileBeingSentIsSentToItsEnd) {
  std::string text;
  for (int number = 1; number <= 6; ++number) text += "line " + std::to_string(number) + "\n";
  const fs::path file = writeFile("deleted.txt", text);
  ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
  ASSERT_EQ(line().readUntil("line 1\r\n"), "line 1\r\n");
  fs::remove(file);

  std::string expected;
  for (int number = 2; number <= 6; ++number) expected += "line " + std::to_string(number) + "\r\n";
  EXPECT_EQ(line().readUntil(expected), expected);
  EXPECT_TRUE(waitUntil([&] { return sendingMark() == "0"; })) << "the sending did not end";
  EXPECT_EQ(line().drain(1s), "");
  EXPECT_EQ(boxes(), 0);
}

TEST_F(SendFaultTest, AFileLockedByAnotherProgramIsNotSentAndNothingComplains) {
  const fs::path file = writeFile("locked.txt", "held\n");
  const int holder = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);

  ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
  EXPECT_EQ(line().drain(1500ms), "") << "a locked file was sent";
  EXPECT_EQ(sendingMark(), "0");
  EXPECT_EQ(boxes(), 0);
  EXPECT_TRUE(run_.app().running());

  // Released, the same file goes out.
  ::close(holder);
  ASSERT_TRUE(chooseFile(res::kCmdSendFile, file)) << run_.appLog();
  EXPECT_EQ(line().readUntil("held\r\n"), "held\r\n");
}

}  // namespace
}  // namespace tevra::apptest
