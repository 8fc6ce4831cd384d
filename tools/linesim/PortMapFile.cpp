#include "PortMapFile.h"

#include "app/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tevra::linesim {
namespace {

constexpr std::size_t npos = std::string::npos;
constexpr const char* kPortsSection = "Ports";

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string> sectionName(const std::string& line) {
  const std::string t = trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const auto close = t.find(']');
  if (close == npos) return std::nullopt;
  return trim(t.substr(1, close - 1));
}

std::optional<std::string> keyName(const std::string& line) {
  const std::string t = trim(line);
  if (t.empty() || t.front() == '#' || t.front() == ';' || t.front() == '[') return std::nullopt;
  const auto equals = t.find('=');
  if (equals == npos) return std::nullopt;
  return trim(t.substr(0, equals));
}

}  // namespace

IniLines IniLines::parse(const std::string& text) {
  IniLines ini;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == npos) {
      ini.lines_.push_back(text.substr(start));
      ini.finalNewline_ = false;
      break;
    }
    ini.lines_.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return ini;
}

std::string IniLines::text() const {
  std::string out;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i];
    if (i + 1 < lines_.size() || finalNewline_) out += '\n';
  }
  return out;
}

IniLines::Location IniLines::find(const std::string& section, const std::string& key) const {
  Location at{npos, npos, npos};
  bool inside = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (const auto name = sectionName(lines_[i])) {
      if (at.sectionHeader != npos) break;  // only the first block of the section is used
      inside = *name == section;
      if (inside) {
        at.sectionHeader = i;
        at.sectionEnd = i + 1;
      }
      continue;
    }
    if (!inside) continue;
    if (!trim(lines_[i]).empty()) at.sectionEnd = i + 1;
    if (at.keyLine == npos && keyName(lines_[i]) == key) at.keyLine = i;
  }
  return at;
}

std::optional<std::string> IniLines::value(const std::string& section,
                                           const std::string& key) const {
  const Location at = find(section, key);
  if (at.keyLine == npos) return std::nullopt;
  const std::string& line = lines_[at.keyLine];
  return trim(line.substr(line.find('=') + 1));
}

void IniLines::set(const std::string& section, const std::string& key, const std::string& value) {
  const Location at = find(section, key);
  const std::string line = key + "=" + value;
  if (at.keyLine != npos) {
    // Only the value changes: the key's spacing and any trailing blanks (or CR) stay.
    std::string& old = lines_[at.keyLine];
    const auto valueStart = old.find_first_not_of(" \t", old.find('=') + 1);
    const auto valueEnd = old.find_last_not_of(" \t\r");
    const std::string head = old.substr(0, std::min(valueStart, old.size()));
    const std::string tail =
        valueStart == npos || valueEnd < valueStart ? std::string() : old.substr(valueEnd + 1);
    old = head + value + tail;
  } else if (at.sectionHeader != npos) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at.sectionEnd), line);
  } else {
    lines_.push_back("[" + section + "]");
    lines_.push_back(line);
  }
}

void IniLines::remove(const std::string& section, const std::string& key,
                      bool dropEmptySection) {
  const Location at = find(section, key);
  if (at.keyLine == npos) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at.keyLine));
  const Location left = find(section, key);
  if (dropEmptySection && left.sectionEnd == left.sectionHeader + 1 &&
      (left.sectionEnd == lines_.size() || sectionName(lines_[left.sectionEnd]))) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(left.sectionHeader));
  }
}

bool IniLines::hasSection(const std::string& section) const {
  return find(section, {}).sectionHeader != npos;
}

void IniLines::copyTo(SettingsStore& store) const {
  std::string section;
  for (const auto& line : lines_) {
    if (const auto name = sectionName(line)) {
      section = *name;
    } else if (const auto key = keyName(line)) {
      store.writeText(section, *key, trim(line.substr(line.find('=') + 1)));
    }
  }
}

bool IniLines::empty() const {
  for (const auto& line : lines_) {
    if (!trim(line).empty()) return false;
  }
  return true;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

PortMapping::PortMapping(std::string filePath, std::string portName, std::string devicePath)
    : filePath_(std::move(filePath)),
      portName_(std::move(portName)),
      devicePath_(std::move(devicePath)) {}

PortMapping::~PortMapping() { restore(); }

bool PortMapping::apply() {
  std::string text;
  const SettingsFileState state = readSettingsFile(filePath_, text);
  if (state == SettingsFileState::Unreadable) {
    // Not ours to replace: the program leaves such a file alone too.
    errno = EACCES;
    return false;
  }
  fileExisted_ = state == SettingsFileState::Read;
  IniLines ini = IniLines::parse(text);
  previous_ = ini.value(kPortsSection, portName_);
  sectionExisted_ = ini.hasSection(kPortsSection);
  ini.set(kPortsSection, portName_, devicePath_);
  applied_ = writeSettingsFile(filePath_, ini.text());
  return applied_;
}

void PortMapping::restore() {
  if (!applied_) return;
  applied_ = false;
  std::string text;
  if (readSettingsFile(filePath_, text) != SettingsFileState::Read) return;  // removed meanwhile: nothing to put back
  IniLines ini = IniLines::parse(text);
  if (ini.value(kPortsSection, portName_) != devicePath_) return;  // changed by someone else
  if (previous_) {
    ini.set(kPortsSection, portName_, *previous_);
  } else {
    ini.remove(kPortsSection, portName_, !sectionExisted_);
  }
  if (!fileExisted_ && ini.empty()) {
    unlink(filePath_.c_str());
  } else {
    writeSettingsFile(filePath_, ini.text());
  }
}

}  // namespace tevra::linesim
