#include "app/UserPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace tevra {

namespace {

// The variable's value when it is an absolute path, else empty.
std::filesystem::path absolutePathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

std::filesystem::path homeFolder() {
  if (auto home = absolutePathFromEnvironment("HOME"); !home.empty()) return home;
  // HOME unset: the account's home from the user database.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::filesystem::path settingsFolder() {
  std::filesystem::path configHome = absolutePathFromEnvironment("XDG_CONFIG_HOME");
  if (configHome.empty()) {
    const std::filesystem::path home = homeFolder();
    if (home.empty()) return {};
    configHome = home / ".config";
  }
  return configHome / "Tevra Laboratory" / "Orbel Software";
}

std::filesystem::path settingsFilePath() {
  const std::filesystem::path folder = settingsFolder();
  return folder.empty() ? folder : folder / "Terminal.conf";
}

std::filesystem::path runtimeFolder() {
  if (auto runtime = absolutePathFromEnvironment("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return runtime;
  }
  return settingsFolder();
}

bool makePrivateFolder(const std::filesystem::path& folder) {
  if (folder.empty()) return false;
  std::filesystem::path partial;
  for (const std::filesystem::path& component : folder.lexically_normal()) {
    partial /= component;
    if (component.empty()) continue;  // the trailing "" of a path ending in '/'
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  std::error_code error;
  return std::filesystem::is_directory(folder, error);
}

}  // namespace tevra
