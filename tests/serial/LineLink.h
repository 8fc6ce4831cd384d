#pragma once

// A symbolic link that names the line, as a user's port mapping or udev's
// /dev/serial/by-id does: tests re-point it to a new pseudo-terminal pair to
// play a device that went away and came back.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tevra::testing {

class LineLink {
 public:
  LineLink() {
    char pattern[] = "/tmp/tevra-link-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    path_ = folder_ + "/line";
  }
  ~LineLink() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  LineLink(const LineLink&) = delete;
  LineLink& operator=(const LineLink&) = delete;

  const std::string& path() const { return path_; }
  const std::string& folder() const { return folder_; }

  // Makes the link name `target`, in one step (a rename), as udev does.
  void pointTo(const std::string& target) const {
    const std::string next = path_ + ".next";
    std::remove(next.c_str());
    std::filesystem::create_symlink(target, next);
    std::filesystem::rename(next, path_);
  }
  // A link to nothing: the device is gone.
  void pointNowhere() const { pointTo(folder_ + "/absent"); }

 private:
  std::string folder_;
  std::string path_;
};

// How many descriptors of this process are open on `path` (its device node).
inline int descriptorsOn(const std::string& path) {
  std::error_code error;
  const auto wanted = std::filesystem::canonical(path, error);
  const std::string target = error ? path : wanted.string();
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char link[4096];
    const std::string name = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = ::readlink(name.c_str(), link, sizeof link - 1);
    const std::string held(link, length > 0 ? static_cast<std::size_t>(length) : 0);
    // A node removed meanwhile (a pseudo-terminal whose far end closed) reads "path (deleted)".
    if (held == target || held == target + " (deleted)") ++count;
  }
  ::closedir(listing);
  return count;
}

}  // namespace tevra::testing
