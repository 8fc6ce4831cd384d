#pragma once

// A 64 KiB tmpfs mounted on a folder, where this process may mount one (root
// in most containers; not on every CI machine). POSIX only.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace tevra::traffic {

class SmallFileSystem {
 public:
  explicit SmallFileSystem(std::string folder) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
    mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", 0, kOptions) == 0;
    if (!mounted_) whyNot_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& whyNot() const { return whyNot_; }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }
  // Read-only even for root, unlike a file's mode.
  void setReadOnly(bool readOnly) {
    ASSERT_EQ(mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | (readOnly ? MS_RDONLY : 0),
                    kOptions),
              0)
        << std::strerror(errno);
  }

 private:
  static constexpr const char* kOptions = "size=64k";
  std::string folder_;
  bool mounted_ = false;
  std::string whyNot_;
};

}  // namespace tevra::traffic
