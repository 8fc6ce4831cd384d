#pragma once

// Ends the process with a failure if a test is still running after `limit`,
// so a hang (a deadlocked close, a write that blocks) fails the run instead of
// stalling it.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tevra::testing {

class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit, const char* what = "a close deadlocked")
      : thread_([this, limit, what] {
          std::unique_lock lock(mutex_);
          if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: still running after %llds, %s\n",
                         static_cast<long long>(limit.count()), what);
            std::_Exit(EXIT_FAILURE);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    finished_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace tevra::testing
