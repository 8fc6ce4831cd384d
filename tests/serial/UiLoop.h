#pragma once

// A stand-in for the UI thread of the program: the engine's wake-ups notify a
// condition variable, and the thread that pumps (the one that opens and closes
// the port, as the UI thread does) answers each with portDeliver().

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "serial/SerialPort.h"

namespace tevra::testing {

class UiLoop : public PortReceiver, public PortSink {
 public:
  // With keepBytes false only the counts are kept (for measurements).
  explicit UiLoop(bool keepBytes = true) : keepBytes_(keepBytes) {}

  void portWake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
      ++wakes_;
    }
    wake_.notify_one();
  }

  int onPortData(int count, const std::uint8_t* bytes) override {
    byteCount += static_cast<std::size_t>(count);
    blockSizes.push_back(count);
    if (keepBytes_) received.insert(received.end(), bytes, bytes + count);
    return 0;
  }

  int onPortError() override {
    ++errors;
    return 0;
  }

  // Answers wake-ups until `done()` holds; false if it did not within `patience`.
  template <typename Done>
  bool pumpUntil(Done done, std::chrono::milliseconds patience = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
      {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [&] { return woken_; })) return done();
        woken_ = false;
      }
      portDeliver(*this);
    }
    return true;
  }

  std::size_t wakes() {
    std::lock_guard lock(mutex_);
    return wakes_;
  }

  // Waits for a wake-up without answering it, so what it announced stays queued.
  bool waitForWake(std::chrono::milliseconds patience = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, patience, [&] { return woken_; })) return false;
    woken_ = false;
    return true;
  }

  bool pumpBytes(std::size_t count, std::chrono::milliseconds patience = std::chrono::seconds(30)) {
    return pumpUntil([&] { return byteCount >= count; }, patience);
  }

  // Answers the wake-ups that come within `span`, for checks that nothing more arrives.
  void pumpFor(std::chrono::milliseconds span) { pumpUntil([] { return false; }, span); }

  std::vector<std::uint8_t> received;
  std::vector<int> blockSizes;
  std::size_t byteCount = 0;
  int errors = 0;

 private:
  bool keepBytes_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::size_t wakes_ = 0;
};

}  // namespace tevra::testing
