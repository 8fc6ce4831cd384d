#include "tests/support/OtherWriter.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace tevra::testing {

#ifdef _WIN32

OtherWriter::OtherWriter(const std::string& path)
    : handle_(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
  holds_ = handle_ != INVALID_HANDLE_VALUE;
}

OtherWriter::~OtherWriter() {
  if (holds_) CloseHandle(handle_);
}

#else

OtherWriter::OtherWriter(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
  holds_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

OtherWriter::~OtherWriter() {
  if (fd_ >= 0) ::close(fd_);
}

#endif

}  // namespace tevra::testing
