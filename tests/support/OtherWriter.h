#pragma once

#include <string>

namespace tevra::testing {

// Another program that keeps a file open for writing, as an editor does, in
// the way the system shows it to other openers: on POSIX a descriptor with
// flock's exclusive lock (what openers that lock notice), on Windows a handle
// open for writing that lets others read and write too. The hold is tried at
// construction and let go when the object goes.
class OtherWriter {
 public:
  explicit OtherWriter(const std::string& path);
  ~OtherWriter();
  OtherWriter(const OtherWriter&) = delete;
  OtherWriter& operator=(const OtherWriter&) = delete;

  // Whether the file could be taken: false while someone keeps writers out.
  bool holds() const { return holds_; }

 private:
  bool holds_ = false;
#ifdef _WIN32
  void* handle_;
#else
  int fd_;
#endif
};

}  // namespace tevra::testing
