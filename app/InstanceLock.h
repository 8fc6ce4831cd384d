#pragma once

#include <filesystem>

namespace tevra::app {

// The per-user single-instance lock "Tevra Terminal": an flock on a file in
// the runtime folder. The kernel drops it when the process ends, however it
// ends, so a killed copy never blocks the next start.
class InstanceLock {
 public:
  enum class State {
    Acquired,     // this process is the one copy
    HeldByOther,  // another copy runs
    Unavailable,  // no lock could be made; carry on as the one copy
  };

  explicit InstanceLock(const std::filesystem::path& folder);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }

 private:
  int fd_ = -1;
  State state_ = State::Unavailable;
};

inline constexpr const char* kInstanceLockName = "Tevra Terminal";

}  // namespace tevra::app
