#pragma once

// The engine's global port set up and torn down around each test, with a UI
// thread stand-in to receive, and the process counts that show leftovers.

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstdint>
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

inline int threadCount() { return countDirectoryEntries("/proc/self/task"); }
inline int openFdCount() { return countDirectoryEntries("/proc/self/fd") - 1; }  // less the listing's own

}  // namespace tevra::testing
