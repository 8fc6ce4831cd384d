#pragma once

// The program on a pseudo-terminal line, pushed hard: floods written from a
// thread, hang-ups, measures of the process from /proc, message boxes counted.
// Sizes scale down in a sanitized build and up through the environment
// (tools/soak.sh).

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "AppHarness.h"
#include "tests/support/Flood.h"
#include "res/ResourceIds.h"

namespace tevra::apptest {

constexpr unsigned char kXon = 0x11;
constexpr unsigned char kXoff = 0x13;

constexpr std::size_t kMiB = 1024 * 1024;

// The sanitized build runs the program several times slower.
constexpr bool kSanitized = TEVRA_RELIABILITY_SANITIZED != 0;

// A size or count: the environment variable `name` when set, else
// `normal` (or `sanitized` in a sanitized build).
long scaled(const char* name, long normal, long sanitized);

// `count` bytes of every value but the line's flow-control characters,
// which the line itself consumes; reproducible from `seed`.
std::string floodPayload(std::size_t count, unsigned seed);

// Where `actual` first differs from the start of `expected` (npos when it is a prefix of it).
std::size_t firstDifference(const std::string& actual, const std::string& expected);

// Fields of /proc/PID/status in kB, and CPU time in clock ticks from /proc/PID/stat.
long statusKilobytes(pid_t pid, const std::string& field);
long cpuTicks(pid_t pid);

using testing::Flood;

// A tmpfs mounted on a folder for as long as the object lives; `mounted()` is
// false where mounting is not allowed.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& where, std::size_t bytes);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  bool setReadOnly(bool readOnly);

 private:
  std::filesystem::path where_;
  std::string options_;
  bool mounted_ = false;
};

// The program with COM2 mapped to a link in its folder that points at a
// pseudo-terminal line; the link can be pointed at a new line later.
class ReliabilityFixture : public ::testing::Test {
 protected:
  void TearDown() override;

  // Starts the program with `extraStore` added to its store; the port open.
  void startWith(const std::string& extraStore = "");
  void startCapturingTo(const std::filesystem::path& capture);
  std::filesystem::path lineLink() const { return run_.folder() / "line"; }
  // Hangs the current line up (closes its master).
  void hangUp();
  // A new line, the link pointed at it.
  void replaceLine();
  PtyLine& line() { return *line_; }

  long reportNumber(const char* name);
  // Waits until the program has received `count` bytes in all.
  bool waitReceived(long count, std::chrono::milliseconds patience = kPatience);
  // Message boxes on screen: windows titled like the main window, other than it.
  int boxes() const;
  // Opens Settings... and leaves it with Return (OK).
  bool settingsOk();
  // Chooses `file` in the file chooser that menu command `command` opens.
  bool chooseFile(int command, const std::filesystem::path& file);

  TerminalRun run_;
  std::unique_ptr<PtyLine> line_ = std::make_unique<PtyLine>();
  unsigned long main_ = 0;
  bool started_ = false;
};

}  // namespace tevra::apptest
