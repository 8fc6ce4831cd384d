#include "tests/support/TempFolder.h"

#include <random>
#include <stdexcept>
#include <system_error>

namespace tevra::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& prefix, const fs::path& base) {
  // A random name that nobody else made first: creating an existing folder fails.
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate = base / (prefix + "-" + std::to_string(random() % 1000000000000ULL));
    std::error_code error;
    if (fs::create_directory(candidate, error)) path_ = candidate;
  }
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder under " + base.string());
  // For the user alone, whatever the umask (on Windows only the read-only flag counts).
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace);
}

TempFolder::~TempFolder() {
  std::error_code error;
  // A folder a test made read-only would keep its files.
  for (const auto& entry : fs::recursive_directory_iterator(path_, error)) {
    if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
}

}  // namespace tevra::testing
