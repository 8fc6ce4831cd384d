#include "tests/support/TempFolder.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

namespace tevra::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& prefix, const fs::path& base) {
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed under " + base.string());
  path_ = pattern;
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
