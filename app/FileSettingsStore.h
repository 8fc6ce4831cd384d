#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "app/UserPaths.h"
#include "core/SettingsStore.h"

class wxFileConfig;

namespace tevra {

// The per-user settings file: an INI file with one [section] per settings
// section, integers in decimal, texts as they are.
//
// The file is read once, when the store is made. What cannot be understood
// yields defaults: a missing file, a value that is not a whole decimal int, a
// damaged or binary file. Writes are kept in memory and written by flush() or
// on destruction, through a private (0600) temporary file renamed over the
// old one; missing folders are made with mode 0700. Nothing is ever reported
// to the user: a file that cannot be written is simply not written.
//
// An existing file that could not be read (no permission, larger than any
// settings file, a directory or device in its place) is left as it is.
class FileSettingsStore : public SettingsStore {
 public:
  explicit FileSettingsStore(std::filesystem::path file = settingsFilePath());
  ~FileSettingsStore() override;
  FileSettingsStore(const FileSettingsStore&) = delete;
  FileSettingsStore& operator=(const FileSettingsStore&) = delete;

  int readInt(const std::string& section, const std::string& name, int defaultValue) override;
  std::string readText(const std::string& section, const std::string& name,
                       const std::string& defaultValue) override;
  void writeInt(const std::string& section, const std::string& name, int value) override;
  void writeText(const std::string& section, const std::string& name,
                 const std::string& value) override;

  // Writes pending changes; true when there were none or they were written.
  bool flush();

  const std::filesystem::path& filePath() const { return file_; }

 private:
  std::filesystem::path file_;
  std::unique_ptr<wxFileConfig> config_;
  bool mayReplaceFile_ = false;
  bool dirty_ = false;
};

}  // namespace tevra
