#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/SettingsStore.h"

namespace tevra::linesim {

// The lines of an INI file, edited one value at a time; every other line
// (comments, other sections, blank lines, spacing) is kept as it was.
class IniLines {
 public:
  static IniLines parse(const std::string& text);
  std::string text() const;

  std::optional<std::string> value(const std::string& section, const std::string& key) const;
  // Replaces the value's line in place, or appends it to its section (the
  // section is appended to the file when missing).
  void set(const std::string& section, const std::string& key, const std::string& value);
  // Removes the value's line; with dropEmptySection also the section header
  // when the section is left without lines.
  void remove(const std::string& section, const std::string& key, bool dropEmptySection);
  bool hasSection(const std::string& section) const;
  // Every value, as the store would read it.
  void copyTo(SettingsStore& store) const;
  bool empty() const;

 private:
  struct Location {
    std::size_t sectionHeader;  // index of the "[section]" line, npos when missing
    std::size_t sectionEnd;     // index after the section's last non-blank line
    std::size_t keyLine;        // index of the key's line, npos when missing
  };
  Location find(const std::string& section, const std::string& key) const;

  std::vector<std::string> lines_;
  bool finalNewline_ = true;
};

// Reads a whole file; nullopt when it does not exist or cannot be read.
std::optional<std::string> readFile(const std::string& path);

// Maps a COM name to a device path in the settings file for as long as it
// lives, then puts back what was there before: the previous value, or no
// value at all (and no file, when the file was created for the mapping).
// The file is read and written as the program does (app/SettingsFile.h): a
// symbolic link is followed, a file that cannot be read is left alone.
class PortMapping {
 public:
  PortMapping(std::string filePath, std::string portName, std::string devicePath);
  ~PortMapping();
  PortMapping(const PortMapping&) = delete;
  PortMapping& operator=(const PortMapping&) = delete;

  // Writes the mapping. False (errno set) when the file cannot be written.
  bool apply();
  // Puts the previous state back, unless the value was changed by someone
  // else meanwhile. Safe to call more than once.
  void restore();

 private:
  std::string filePath_;
  std::string portName_;
  std::string devicePath_;
  std::optional<std::string> previous_;
  bool fileExisted_ = false;
  bool sectionExisted_ = false;
  bool applied_ = false;
};

}  // namespace tevra::linesim
