// The files the program keeps for itself are the user's alone and live in
// the user's folders: no fixed path in a shared place.
// (The About link's opener and its arguments: tests/app/dialogs_test.cpp.)

#include <sys/stat.h>

#include <cstdlib>

#include "ReliabilityRun.h"

namespace tevra::apptest {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLockFileName = "Tevra Terminal.lock";

unsigned modeOf(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode;
}

// Where the program's open files are, by /proc/PID/fd.
std::vector<fs::path> openFiles(pid_t pid) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const fs::path target = fs::read_symlink(entry.path(), error);
    if (!error && target.is_absolute()) files.push_back(target);
  }
  return files;
}

bool isUnder(const fs::path& path, const fs::path& folder) {
  const auto relative = path.lexically_normal().lexically_relative(folder.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

class PrivateFilesTest : public ReliabilityFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(PrivateFilesTest, TheLockAndTheStoreAreTheUsersAloneInTheUsersFolders) {
  const bool withRuntimeFolder = GetParam();
  std::map<std::string, std::string> environment = run_.environment();
  if (!withRuntimeFolder) environment.erase("XDG_RUNTIME_DIR");
  run_.writeStore("[Ports]\nCOM2=" + line().slavePath() + "\n");
  fs::permissions(run_.storeFile(), fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read | fs::perms::others_read);
  Process app({TEVRA_TERMINAL_PATH}, environment, run_.folder(), run_.folder() / "app.log");
  ASSERT_TRUE(waitUntil([&] { return run_.mainWindow().has_value(); })) << run_.appLog();

  const fs::path settingsFolder = run_.storeFile().parent_path();
  const fs::path lockFolder = withRuntimeFolder ? run_.folder() / "runtime" : settingsFolder;
  const fs::path lock = lockFolder / kLockFileName;
  ASSERT_TRUE(waitUntil([&] { return fs::exists(lock); })) << "no lock in " << lockFolder;
  EXPECT_TRUE(S_ISREG(modeOf(lock)));
  EXPECT_EQ(modeOf(lock) & 07777, 0600u) << lock;

  // Every file it holds open is a system file or one of this user's.
  const fs::path sharedTemp = fs::temp_directory_path();
  const char* realHome = std::getenv("HOME");
  bool lockHeld = false;
  for (const fs::path& file : openFiles(app.pid())) {
    if (file == lock) lockHeld = true;
    if (isUnder(file, sharedTemp)) {
      EXPECT_TRUE(isUnder(file, run_.folder())) << file;
    }
    if (realHome && *realHome) {
      EXPECT_FALSE(isUnder(file, realHome)) << file;
    }
  }
  EXPECT_TRUE(lockHeld) << "the lock is not held open";

  run_.chooseCommand(res::kCmdClose);
  ASSERT_EQ(app.waitExit(), 0) << run_.appLog();
  EXPECT_TRUE(S_ISREG(modeOf(run_.storeFile())));
  // The test wrote the store with the usual 0644; the program's save makes it private.
  EXPECT_EQ(modeOf(run_.storeFile()) & 07777, 0600u);
  // Nothing else was left next to the store (a temporary file of the atomic save, say).
  for (const auto& entry : fs::directory_iterator(settingsFolder)) {
    const auto name = entry.path().filename();
    EXPECT_TRUE(name == "Terminal.conf" || name == kLockFileName) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(RuntimeFolder, PrivateFilesTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Set" : "Unset"; });

}  // namespace
}  // namespace tevra::apptest
