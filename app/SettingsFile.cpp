#include "app/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "app/UserPaths.h"

namespace tevra {

namespace {

// A settings file is a few hundred bytes; anything this big is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool replaceFile(const std::filesystem::path& file, std::string_view bytes) {
  std::string temporary = file.string() + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool written = fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, bytes) && fsync(fd) == 0;
  int failure = errno;
  if (close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written && std::rename(temporary.c_str(), file.c_str()) == 0) return true;
  if (written) failure = errno;
  unlink(temporary.c_str());
  errno = failure;
  return false;
}

// The file a write must replace: the target of a symbolic link.
std::filesystem::path fileToReplace(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_symlink(file, error)) return file;
  std::filesystem::path target = std::filesystem::weakly_canonical(file, error);
  return error ? file : target;
}

}  // namespace

SettingsFileState readSettingsFile(const std::filesystem::path& file, std::string& contents) {
  struct stat status {};
  if (file.empty() || stat(file.c_str(), &status) != 0) return SettingsFileState::Missing;
  if (!S_ISREG(status.st_mode)) return SettingsFileState::Unreadable;

  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return SettingsFileState::Unreadable;
  SettingsFileState state = SettingsFileState::Read;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) state = SettingsFileState::Unreadable;
  char chunk[4096];
  while (state == SettingsFileState::Read) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count == 0) break;
    if (count < 0) {
      if (errno != EINTR) state = SettingsFileState::Unreadable;
    } else if (contents.size() + static_cast<std::size_t>(count) > kMaxFileBytes) {
      state = SettingsFileState::Unreadable;
    } else {
      contents.append(chunk, static_cast<std::size_t>(count));
    }
  }
  close(fd);
  if (state != SettingsFileState::Read) contents.clear();
  return state;
}

bool writeSettingsFile(const std::filesystem::path& file, std::string_view bytes) {
  const std::filesystem::path target = fileToReplace(file);
  return makePrivateFolder(target.parent_path()) && replaceFile(target, bytes);
}

}  // namespace tevra
