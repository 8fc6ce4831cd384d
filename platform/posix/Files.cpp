#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "core/Platform.h"

namespace tevra {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

class PosixInputFile : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  ~PosixInputFile() override { ::close(fd_); }  // also releases the lock
  PosixInputFile(const PosixInputFile&) = delete;
  PosixInputFile& operator=(const PosixInputFile&) = delete;

  std::size_t read(std::uint8_t* buffer, std::size_t capacity, std::error_code& error) override {
    for (;;) {
      const ssize_t count = ::read(fd_, buffer, capacity);
      if (count >= 0) return static_cast<std::size_t>(count);
      if (errno != EINTR) {
        error = lastError();
        return 0;
      }
    }
  }

 private:
  int fd_;
};

}  // namespace

AppendResult appendToFile(const std::string& path, const std::uint8_t* bytes, std::size_t count) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return {};
  AppendResult result{true, {}};
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      result.error = lastError();
      break;
    }
    if (written == 0) {  // no progress and no reason: a full device is the likely cause
      result.error = std::make_error_code(std::errc::no_space_on_device);
      break;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  // A delayed write error (e.g. on a network file system) shows up at close.
  if (::close(fd) != 0 && !result.error && errno != EINTR) result.error = lastError();
  return result;
}

std::unique_ptr<InputFile> openInputFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  // A shared lock: readers may share the file, writers that lock are kept out.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixInputFile>(fd);
}

}  // namespace tevra
