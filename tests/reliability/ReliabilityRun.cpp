#include "ReliabilityRun.h"

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "res/Menus.h"

namespace tevra::apptest {

namespace fs = std::filesystem;

long scaled(const char* name, long normal, long sanitized) {
  if (const char* value = std::getenv(name); value && *value) return std::atol(value);
  return kSanitized ? sanitized : normal;
}

std::string floodPayload(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    auto value = static_cast<unsigned char>(state >> 24);
    if (value == kXon || value == kXoff) value ^= 0x40;
    byte = static_cast<char>(value);
  }
  return bytes;
}

std::size_t firstDifference(const std::string& actual, const std::string& expected) {
  const std::size_t common = std::min(actual.size(), expected.size());
  const auto mismatch =
      std::mismatch(actual.begin(), actual.begin() + static_cast<long>(common), expected.begin());
  if (mismatch.first != actual.begin() + static_cast<long>(common)) {
    return static_cast<std::size_t>(mismatch.first - actual.begin());
  }
  return actual.size() <= expected.size() ? std::string::npos : common;
}

long statusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

long cpuTicks(pid_t pid) {
  const std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  // Fields after the command name, which may hold spaces: state is field 3, utime 14, stime 15.
  const auto afterName = stat.rfind(')');
  if (afterName == std::string::npos) return -1;
  std::istringstream fields(stat.substr(afterName + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int number = 3; fields >> field; ++number) {
    if (number == 14) utime = std::atol(field.c_str());
    if (number == 15) {
      stime = std::atol(field.c_str());
      break;
    }
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// SmallFileSystem

SmallFileSystem::SmallFileSystem(const fs::path& where, std::size_t bytes)
    : where_(where), options_("size=" + std::to_string(bytes) + ",mode=0700") {
  fs::create_directories(where_);
  mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options_.c_str()) == 0;
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
}

bool SmallFileSystem::setReadOnly(bool readOnly) {
  const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  return ::mount("tmpfs", where_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}

// ReliabilityFixture

void ReliabilityFixture::TearDown() {
  if (!started_ || !run_.app().running()) return;
  EXPECT_EQ(run_.closeByMenu(), 0) << run_.appLog();
}

void ReliabilityFixture::startWith(const std::string& extraStore) {
  fs::create_symlink(line_->slavePath(), lineLink());
  run_.writeStore("[Ports]\nCOM2=" + lineLink().string() + "\n" + extraStore);
  run_.start();
  started_ = true;
  ASSERT_TRUE(waitUntil([&] { return run_.mainWindow().has_value(); })) << run_.appLog();
  ASSERT_TRUE(waitUntil([&] { return run_.report()["port_open"] == "1"; })) << run_.appLog();
  main_ = *run_.mainWindow();
}

void ReliabilityFixture::startCapturingTo(const fs::path& capture) {
  startWith("[Terminal]\nTermCapture=1\nCaptureFile=" + capture.string() + "\n");
}

// The name goes before the line: a pseudo-terminal's number, once free, may be
// handed to another test's line, which the program's reopen must not find.
void ReliabilityFixture::hangUp() {
  fs::remove(lineLink());
  line_.reset();
}

void ReliabilityFixture::replaceLine() {
  line_ = std::make_unique<PtyLine>();
  const fs::path next = lineLink().string() + ".next";
  fs::remove(next);
  fs::create_symlink(line_->slavePath(), next);
  fs::rename(next, lineLink());  // the link changes in one step
}

long ReliabilityFixture::reportNumber(const char* name) {
  const auto report = run_.report();
  return report.count(name) ? std::stol(report.at(name)) : -1;
}

bool ReliabilityFixture::waitReceived(long count, std::chrono::milliseconds patience) {
  return waitUntil([&] { return reportNumber("bytes_received") == count; }, patience);
}

int ReliabilityFixture::boxes() const {
  const auto windows = run_.visibleWindows("^Terminal$");
  return static_cast<int>(
      std::count_if(windows.begin(), windows.end(), [&](unsigned long w) { return w != main_; }));
}

bool ReliabilityFixture::settingsOk() {
  run_.chooseCommand(res::kCmdSettings);
  const auto dialog = run_.waitForDialog("Settings");
  return dialog && run_.dismiss(*dialog, "Return");
}

bool ReliabilityFixture::chooseFile(int command, const fs::path& file) {
  run_.chooseCommand(command);
  const auto chooser = run_.waitForDialog(res::commandWords(command));
  if (!chooser) return false;
  run_.focus(*chooser);
  run_.keys({"ctrl+l"});
  run_.x({"xdotool", "type", "--delay", "20", file.string()});
  run_.keys({"Return"});
  return run_.waitGone(*chooser);
}

}  // namespace tevra::apptest
