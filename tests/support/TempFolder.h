#pragma once

#include <filesystem>
#include <string>

namespace tevra::testing {

// A fresh folder of the test's own (a new random name, mode 0700) under `base`,
// removed with everything in it when the object goes, even what a test made
// read-only. Throws std::runtime_error when it cannot be made.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "tevra-test",
                      const std::filesystem::path& base = std::filesystem::temp_directory_path());
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the folder, as text.
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace tevra::testing
