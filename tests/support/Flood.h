#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tevra::testing {

// Writes `bytes` to a pseudo-terminal master from a thread, as fast as the
// line takes them, once or (`repeat`) over and over until stopped. A line
// closed by the other side is waited for: it may come back (a reconnect).
class Flood {
 public:
  Flood(int master, std::string bytes, bool repeat = false);
  ~Flood();
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

  long written() const { return written_; }
  bool finished() const { return finished_; }
  // Waits for the end of a single flood; false when it did not end in `patience`.
  bool waitFinished(std::chrono::milliseconds patience);
  void stop();

 private:
  int master_;
  std::string bytes_;
  bool repeat_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<long> written_{0};
  std::thread thread_;
};

}  // namespace tevra::testing
