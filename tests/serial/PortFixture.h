#pragma once

// The engine's global port set up and torn down around each test, with a UI
// thread stand-in to receive, and the process counts that show leftovers.

#include <dirent.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/UiLoop.h"

namespace tevra::testing {

template <typename Base = ::testing::Test>
class PortFixture : public Base {
 protected:
  void SetUp() override {
    // A thread sanitizer starts a helper with the first thread: have it before
    // any thread count is taken.
    std::thread([] {}).join();
    portInit();
  }
  void TearDown() override { portTerm(); }

  // Opens `devicePath` as 8N1, the one framing a pseudo-terminal keeps.
  void openLine(const std::string& devicePath, std::uint32_t baud = 115200) {
    portSetLine(1, baud, 8, Parity::kNone, StopBits::kOne);
    ASSERT_EQ(portOpen(devicePath, &ui_), 1) << portFailureReason();
  }

  UiLoop ui_;
};

inline int countDirectoryEntries(const char* directory) {
  DIR* listing = ::opendir(directory);
  if (listing == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(listing);
  return count;
}

// Threads that have not begun to exit. A joined thread may still be listed in
// /proc/self/task for a moment: the kernel wakes the joiner from inside the
// thread's exit, before it removes the task, and on one CPU the joiner often runs
// first. From the start of its exit a task carries PF_EXITING in its stat flags.
inline int threadCount() {
  constexpr unsigned long kExitingFlag = 0x4;  // PF_EXITING
  DIR* listing = ::opendir("/proc/self/task");
  if (listing == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(std::string("/proc/self/task/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // gone meanwhile
    // Fields after the command name, which may hold spaces: state ppid pgrp session
    // tty_nr tpgid flags.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skipped;
    unsigned long flags = 0;
    for (int field = 0; field < 6; ++field) fields >> skipped;
    if (!(fields >> flags) || (flags & kExitingFlag) == 0) ++count;
  }
  ::closedir(listing);
  return count;
}

// CPU time the whole process has used, user and system, in microseconds.
inline long processCpuMicros() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

inline int openFdCount() { return countDirectoryEntries("/proc/self/fd") - 1; }  // less the listing's own

}  // namespace tevra::testing
