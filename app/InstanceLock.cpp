#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "app/UserPaths.h"

namespace tevra::app {

InstanceLock::InstanceLock(const std::filesystem::path& folder) {
  if (folder.empty() || !makePrivateFolder(folder)) return;
  const std::filesystem::path file = folder / (std::string(kInstanceLockName) + ".lock");
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  int result;
  do {
    result = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    state_ = State::Acquired;
  } else if (errno == EWOULDBLOCK) {
    state_ = State::HeldByOther;
  }
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

}  // namespace tevra::app
