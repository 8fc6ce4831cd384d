#include "app/FileSettingsStore.h"

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include "app/SettingsFile.h"

namespace tevra {

namespace {

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
  const SettingsFileState state = readSettingsFile(file_, contents);
  mayReplaceFile_ = !file_.empty() && state != SettingsFileState::Unreadable;

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

  if (!writeSettingsFile(file_, bytes)) return false;
  dirty_ = false;
  return true;
}

}  // namespace tevra
