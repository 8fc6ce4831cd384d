#include "app/FileSettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace tevra {

namespace {

// A settings file is a few hundred bytes; anything this big is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

enum class FileState { Missing, Read, Unreadable };

// Reads the whole of `file` into `contents` when it is a regular file of
// sensible size. Never opens anything else: a FIFO would block, a device
// could react to being opened.
FileState readSettingsFile(const std::filesystem::path& file, std::string& contents) {
  struct stat status {};
  if (file.empty() || stat(file.c_str(), &status) != 0) return FileState::Missing;
  if (!S_ISREG(status.st_mode)) return FileState::Unreadable;

  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return FileState::Unreadable;
  FileState state = FileState::Read;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) state = FileState::Unreadable;
  char chunk[4096];
  while (state == FileState::Read) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count == 0) break;
    if (count < 0) {
      if (errno != EINTR) state = FileState::Unreadable;
    } else if (contents.size() + static_cast<std::size_t>(count) > kMaxFileBytes) {
      state = FileState::Unreadable;
    } else {
      contents.append(chunk, static_cast<std::size_t>(count));
    }
  }
  close(fd);
  if (state != FileState::Read) contents.clear();
  return state;
}

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

// Replaces `file` with `bytes` at once: readers see the old or the new file,
// never half of one. The new file is the user's alone (mkstemp's 0600).
bool replaceFile(const std::filesystem::path& file, std::string_view bytes) {
  std::string temporary = file.string() + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool written = fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, bytes) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (written && std::rename(temporary.c_str(), file.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

// The file a write must replace: the target of a symbolic link, so a linked
// settings file stays linked.
std::filesystem::path fileToReplace(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_symlink(file, error)) return file;
  std::filesystem::path target = std::filesystem::weakly_canonical(file, error);
  return error ? file : target;
}

// Keeps wx quiet while it handles the file: the parser logs every damaged
// line, and some lines (an entry without a name) trip wx's own checks, which
// a program shows as a dialog. Nothing of either is meant for the user.
class QuietWx {
 public:
  QuietWx() : previousAssertHandler_(wxSetAssertHandler(nullptr)) {}
  ~QuietWx() { wxSetAssertHandler(previousAssertHandler_); }
  QuietWx(const QuietWx&) = delete;
  QuietWx& operator=(const QuietWx&) = delete;

 private:
  wxLogNull noLog_;
  wxAssertHandler_t previousAssertHandler_;
};

wxString configKey(const std::string& section, const std::string& name) {
  return wxString::FromUTF8("/" + section + "/" + name);
}

}  // namespace

FileSettingsStore::FileSettingsStore(std::filesystem::path file) : file_(std::move(file)) {
  QuietWx quiet;
  std::string contents;
  const FileState state = readSettingsFile(file_, contents);
  mayReplaceFile_ = !file_.empty() && state != FileState::Unreadable;

  wxMemoryInputStream input(contents.data(), contents.size());
  config_ = std::make_unique<wxFileConfig>(input);
  config_->SetExpandEnvVars(false);  // a stored "$HOME" stays "$HOME"
}

FileSettingsStore::~FileSettingsStore() {
  flush();
  QuietWx quiet;
  config_.reset();
}

int FileSettingsStore::readInt(const std::string& section, const std::string& name,
                               int defaultValue) {
  // wx's own Read(long) keeps a number followed by garbage and accepts values
  // beyond int, so the text is parsed here.
  const std::string text = readText(section, name, {});
  return parseDecimalInt(text).value_or(defaultValue);
}

std::string FileSettingsStore::readText(const std::string& section, const std::string& name,
                                        const std::string& defaultValue) {
  QuietWx quiet;
  wxString value;
  if (!config_->Read(configKey(section, name), &value)) return defaultValue;
  return value.utf8_string();
}

void FileSettingsStore::writeInt(const std::string& section, const std::string& name, int value) {
  writeText(section, name, std::to_string(value));
}

void FileSettingsStore::writeText(const std::string& section, const std::string& name,
                                  const std::string& value) {
  QuietWx quiet;
  config_->Write(configKey(section, name), wxString::FromUTF8(value));
  dirty_ = true;
}

bool FileSettingsStore::flush() {
  if (!dirty_) return true;
  if (!mayReplaceFile_) return false;
  QuietWx quiet;
  wxMemoryOutputStream output;
  if (!config_->Save(output, wxConvUTF8)) return false;
  std::string bytes(static_cast<std::size_t>(output.GetLength()), '\0');
  output.CopyTo(bytes.data(), bytes.size());

  const std::filesystem::path target = fileToReplace(file_);
  if (!makePrivateFolder(target.parent_path()) || !replaceFile(target, bytes)) return false;
  dirty_ = false;
  return true;
}

}  // namespace tevra
