#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <pwd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <wx/debug.h>
#include <wx/log.h>

#include "app/FileSettingsStore.h"
#include "app/UserPaths.h"
#include "core/TerminalSettings.h"
#include "tests/support/Environment.h"
#include "tests/support/TempFolder.h"

namespace tevra {
namespace {

namespace fs = std::filesystem;

// A temporary HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR, so nothing touches
// the real ones.
class TemporaryHome : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.emplace("tevra-store");
    root_ = folder_->path();
    fs::create_directory(root_ / "home");
    setVariable("HOME", (root_ / "home").string());
    setVariable("XDG_CONFIG_HOME", (root_ / "config").string());
    setVariable("XDG_RUNTIME_DIR", (root_ / "run").string());
  }

  void TearDown() override { folder_.reset(); }

  void setVariable(const char* name, const std::optional<std::string>& value) { environment_.set(name, value); }

  fs::path settingsFolderHere() const { return root_ / "config/Tevra Laboratory/Orbel Software"; }
  fs::path settingsFileHere() const { return settingsFolderHere() / "Terminal.conf"; }

  static void writeFile(const fs::path& file, const std::string& contents) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
  }

  static std::string readFile(const fs::path& file) {
    std::ifstream input(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(input), {}};
  }

  static std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  std::optional<tevra::testing::TempFolder> folder_;
  fs::path root_;

 private:
  tevra::testing::ScopedEnvironment environment_;  // back as it was when the test ends
};

TerminalSettings someChoices() {
  TerminalSettings settings;
  settings.port = 11;
  settings.baud = 0;
  settings.dataBits = 1;
  settings.parity = 4;
  settings.stopBits = 1;
  settings.termOutCR = 1;
  settings.termInCR = 1;
  settings.termEcho = 0;
  settings.termCapture = 1;
  settings.captureFile = "/home/u/log file.txt";
  settings.sendFile = "macro.txt";
  return settings;
}

const WindowRect kSomeRect{-8, 5, 1200, 900};

// ---- The per-user paths ----------------------------------------------------

using UserPaths = TemporaryHome;

TEST_F(UserPaths, SettingsFolderFollowsTheXdgRules) {
  struct Case {
    const char* what;
    std::optional<std::string> configHome;
    fs::path expectedBase;
  };
  const fs::path home = root_ / "home";
  const Case cases[] = {
      {"set", (root_ / "elsewhere").string(), root_ / "elsewhere"},
      {"unset", std::nullopt, home / ".config"},
      {"empty", "", home / ".config"},
      {"relative", "relative/config", home / ".config"},
  };
  for (const Case& c : cases) {
    setVariable("XDG_CONFIG_HOME", c.configHome);
    const fs::path expected = c.expectedBase / "Tevra Laboratory" / "Orbel Software";
    EXPECT_EQ(settingsFolder(), expected) << c.what;
    EXPECT_EQ(settingsFilePath(), expected / "Terminal.conf") << c.what;
  }
}

TEST_F(UserPaths, WithoutHomeTheAccountsHomeIsUsed) {
  setVariable("XDG_CONFIG_HOME", std::nullopt);
  setVariable("HOME", std::nullopt);
  const passwd* account = getpwuid(getuid());
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(settingsFolder(),
            fs::path(account->pw_dir) / ".config" / "Tevra Laboratory" / "Orbel Software");
}

TEST_F(UserPaths, RuntimeFolderIsXdgRuntimeDirElseTheSettingsFolder) {
  EXPECT_EQ(runtimeFolder(), root_ / "run");
  for (const char* unusable : {"", "run"}) {
    setVariable("XDG_RUNTIME_DIR", unusable);
    EXPECT_EQ(runtimeFolder(), settingsFolderHere()) << '"' << unusable << '"';
  }
  setVariable("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(runtimeFolder(), settingsFolderHere());
}

TEST_F(UserPaths, PrivateFoldersAreMadeForTheUserAlone) {
  const mode_t oldMask = umask(0);
  const fs::path folder = root_ / "a" / "b" / "c";
  const bool made = makePrivateFolder(folder);
  const bool madeAgain = makePrivateFolder(folder);
  umask(oldMask);

  EXPECT_TRUE(made);
  EXPECT_TRUE(madeAgain) << "an existing folder is fine";
  for (const fs::path& created : {root_ / "a", root_ / "a" / "b", folder}) {
    EXPECT_EQ(fs::status(created).permissions(), fs::perms::owner_all) << created;
  }

  writeFile(root_ / "blocked", "a file, not a folder");
  EXPECT_FALSE(makePrivateFolder(root_ / "blocked" / "inner"));
  EXPECT_FALSE(makePrivateFolder(""));
}

// ---- The settings file -------------------------------------------------------

// Counts what wx would show the user (log messages, failed checks) while
// a test runs; in the program each of them could open a dialog.
class SettingsFile : public TemporaryHome {
 protected:
  void SetUp() override {
    TemporaryHome::SetUp();
    complaints_ = 0;
    previousAssertHandler_ = wxSetAssertHandler(
        [](const wxString&, int, const wxString&, const wxString&, const wxString&) {
          ++complaints_;
        });
    previousLog_ = wxLog::SetActiveTarget(&countingLog_);
  }

  void TearDown() override {
    wxLog::SetActiveTarget(previousLog_);
    wxSetAssertHandler(previousAssertHandler_);
    EXPECT_EQ(complaints_, 0) << "wx logged or asserted";
    TemporaryHome::TearDown();
  }

 private:
  class CountingLog : public wxLog {
    void DoLogRecord(wxLogLevel, const wxString&, const wxLogRecordInfo&) override {
      ++complaints_;
    }
  };

  static inline int complaints_ = 0;
  CountingLog countingLog_;
  wxLog* previousLog_ = nullptr;
  wxAssertHandler_t previousAssertHandler_ = nullptr;
};

TEST_F(SettingsFile, ChoicesSurviveARestart) {
  TerminalSettings saved = someChoices();
  saved.captureFile = " spaced \"quoted\" back\\slash $HOME ü = ;# ";
  {
    FileSettingsStore store;
    EXPECT_EQ(store.filePath(), settingsFileHere());
    saved.save(store, kSomeRect);
  }

  FileSettingsStore store;
  TerminalSettings loaded;
  loaded.load(store);
  EXPECT_EQ(loaded, saved);
  EXPECT_EQ(loaded.captureFile, saved.captureFile);
  EXPECT_EQ(TerminalSettings::loadLayout(store), kSomeRect);

  // Plain INI: decimal integers, ordinary texts as they are.
  const std::string text = readFile(settingsFileHere());
  for (const char* line : {"[General]\n", "Port=11\n", "[Terminal]\n", "SendFile=macro.txt\n",
                           "[Layout]\n", "LayoutLeft=-8\n", "LayoutBottom=900\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
}

TEST_F(SettingsFile, IsWrittenOnlyOnFlushOrDestructionIntoPrivateFolders) {
  const mode_t oldMask = umask(0);
  {
    FileSettingsStore store;
    TerminalSettings loaded;
    loaded.load(store);
    EXPECT_FALSE(fs::exists(root_ / "config")) << "reading makes nothing";

    someChoices().save(store, kSomeRect);
    EXPECT_FALSE(fs::exists(settingsFileHere())) << "nothing written before a flush";
    EXPECT_TRUE(store.flush());
    EXPECT_TRUE(fs::exists(settingsFileHere()));

    store.writeInt("General", "Port", 3);
  }
  umask(oldMask);

  EXPECT_EQ(fs::status(settingsFileHere()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  for (const fs::path& folder :
       {root_ / "config", root_ / "config/Tevra Laboratory", settingsFolderHere()}) {
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  }
  EXPECT_EQ(namesIn(settingsFolderHere()), std::vector<std::string>{"Terminal.conf"})
      << "no temporary file is left behind";

  FileSettingsStore store;
  EXPECT_EQ(store.readInt("General", "Port", -1), 3) << "destruction wrote the last change";
}

// Whatever the file holds, loading gives defaults where it makes no sense,
// and the next save leaves a good file.
TEST_F(SettingsFile, DamagedFilesReadAsDefaults) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) % 256));
  struct Case {
    const char* what;
    std::string contents;
  };
  const Case cases[] = {
      {"empty", ""},
      {"garbage lines", "[General\nPort\n=5\n;;;\n[]\nBaudRate 7\n[[Layout]]]\nLayoutTop==3\n"},
      {"wrong types",
       "[General]\nPort=COM3\nBaudRate=9600baud\nByteSize=eight\nParity=N\nStopBits=1.0\n"
       "[Terminal]\nTermEcho=yes\nTermCapture=0x1\n[Layout]\nLayoutLeft=left\nLayoutTop=1e2\n"},
      {"out of range", "[General]\nPort=12\nBaudRate=10\nByteSize=-1\nParity=5\nStopBits=2\n"},
      {"huge",
       "[General]\nPort=99999999999\nBaudRate=-99999999999\nByteSize=4294967299\n"
       "[Terminal]\nTermEcho=18446744073709551616\n"
       "[Layout]\nLayoutLeft=2147483648\nLayoutRight=" + std::string(5000, '9') + "\n"},
      {"values outside their section", "Port=5\nBaudRate=7\n[Terminal]\nParity=2\n"},
      {"invalid UTF-8", "[General]\xff\xfe\nPort=\xc3\x28\n[\xc0\xaf]\nTermEcho=\x80\n"},
      {"binary", binary},
  };
  for (const Case& c : cases) {
    writeFile(settingsFileHere(), c.contents);
    {
      FileSettingsStore store;
      TerminalSettings loaded = someChoices();
      loaded.load(store);
      EXPECT_EQ(loaded, TerminalSettings{}) << c.what;
      EXPECT_EQ(TerminalSettings::loadLayout(store), WindowRect{}) << c.what;

      someChoices().save(store, kSomeRect);
    }
    FileSettingsStore store;
    TerminalSettings reloaded;
    reloaded.load(store);
    EXPECT_EQ(reloaded, someChoices()) << c.what << ": saving over a damaged file";
  }
}

TEST_F(SettingsFile, DamagedLinesDoNotHideGoodOnes) {
  writeFile(settingsFileHere(),
            "\x01\x02 junk\n[General]\nnonsense\nPort=4\nBaudRate=9x\n; a comment\n"
            "[Terminal]\nTermEcho=7\nSendFile=$HOME/commands.txt\n"
            "[Ports]\nCOM1=/dev/pts/9\n");
  FileSettingsStore store;
  TerminalSettings loaded;
  loaded.load(store);
  EXPECT_EQ(loaded.port, 4);
  EXPECT_EQ(loaded.baud, 4);
  EXPECT_EQ(loaded.termEcho, 1);
  EXPECT_EQ(loaded.sendFile, "$HOME/commands.txt") << "texts are not expanded";
  EXPECT_EQ(portDevicePath(store, 1), "/dev/pts/9");
  EXPECT_EQ(portDevicePath(store, 2), "/dev/ttyS1");
}

// Something that is not a readable settings file in its place: nothing hangs,
// defaults are used, and it is left exactly as it was.
TEST_F(SettingsFile, WhatCannotBeReadIsLeftAlone) {
  struct Case {
    const char* what;
    void (*make)(const fs::path& file);
    bool needsNonRoot;
  };
  const Case cases[] = {
      {"a directory", [](const fs::path& file) { fs::create_directories(file); }, false},
      {"a FIFO", [](const fs::path& file) { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, false},
      {"a link to a directory",
       [](const fs::path& file) {
         fs::create_directory(file.parent_path() / "target");
         fs::create_directory_symlink("target", file);
       },
       false},
      {"a file far too large",
       [](const fs::path& file) { writeFile(file, "[General]\nPort=3\n" + std::string(2 << 20, ';')); },
       false},
      {"a file without read permission",
       [](const fs::path& file) {
         writeFile(file, "[General]\nPort=3\n");
         fs::permissions(file, fs::perms::owner_write);
       },
       true},
  };
  for (const Case& c : cases) {
    if (c.needsNonRoot && geteuid() == 0) continue;  // root reads it anyway
    fs::remove_all(settingsFolderHere());
    fs::create_directories(settingsFolderHere());
    c.make(settingsFileHere());
    const auto typeBefore = fs::symlink_status(settingsFileHere()).type();
    const auto namesBefore = namesIn(settingsFolderHere());

    {
      FileSettingsStore store;
      TerminalSettings loaded = someChoices();
      loaded.load(store);
      EXPECT_EQ(loaded, TerminalSettings{}) << c.what;
      someChoices().save(store, kSomeRect);
      EXPECT_FALSE(store.flush()) << c.what;
    }
    EXPECT_EQ(fs::symlink_status(settingsFileHere()).type(), typeBefore) << c.what;
    EXPECT_EQ(namesIn(settingsFolderHere()), namesBefore) << c.what;
  }
}

TEST_F(SettingsFile, UnwritablePlaceFailsQuietly) {
  writeFile(root_ / "config" / "Tevra Laboratory", "a file where a folder belongs");
  FileSettingsStore store;
  TerminalSettings loaded;
  loaded.load(store);
  EXPECT_EQ(loaded, TerminalSettings{});
  someChoices().save(store, kSomeRect);
  EXPECT_FALSE(store.flush());
  EXPECT_EQ(store.readInt("General", "Port", -1), 11) << "the values stay in memory";
}

TEST_F(SettingsFile, ReadOnlyFolderFailsQuietly) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  fs::create_directories(settingsFolderHere());
  fs::permissions(settingsFolderHere(), fs::perms::owner_read | fs::perms::owner_exec);
  FileSettingsStore store;
  someChoices().save(store, kSomeRect);
  EXPECT_FALSE(store.flush());
  EXPECT_TRUE(namesIn(settingsFolderHere()).empty());
}

TEST_F(SettingsFile, LinkedFileStaysLinked) {
  const fs::path real = root_ / "dotfiles" / "terminal.conf";
  writeFile(real, "[General]\nPort=6\n");
  fs::create_directories(settingsFolderHere());
  fs::create_symlink(real, settingsFileHere());
  {
    FileSettingsStore store;
    EXPECT_EQ(store.readInt("General", "Port", -1), 6);
    store.writeInt("General", "Port", 8);
  }
  EXPECT_TRUE(fs::is_symlink(settingsFileHere()));
  EXPECT_NE(readFile(real).find("Port=8\n"), std::string::npos);
  EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace tevra
