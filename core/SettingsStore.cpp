#include "core/SettingsStore.h"

#include <charconv>
#include <iterator>

#include "core/Platform.h"
#include "core/TerminalSettings.h"

namespace tevra {

int MemorySettingsStore::readInt(const std::string& section, const std::string& name,
                                 int defaultValue) {
  auto found = values_.find({section, name});
  if (found == values_.end()) return defaultValue;
  return parseDecimalInt(found->second).value_or(defaultValue);
}

std::string MemorySettingsStore::readText(const std::string& section, const std::string& name,
                                          const std::string& defaultValue) {
  auto found = values_.find({section, name});
  return found == values_.end() ? defaultValue : found->second;
}

void MemorySettingsStore::writeInt(const std::string& section, const std::string& name,
                                   int value) {
  writeText(section, name, std::to_string(value));
}

void MemorySettingsStore::writeText(const std::string& section, const std::string& name,
                                    const std::string& value) {
  values_[{section, name}] = value;
  writeLog_.push_back(section + "/" + name + "=" + value);
}

const std::vector<std::string>& MemorySettingsStore::writeLog() const { return writeLog_; }

std::optional<int> parseDecimalInt(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);

  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string portDevicePath(SettingsStore& store, int portNumber) {
  if (portNumber < 1 || portNumber > static_cast<int>(std::size(kPortNames))) return {};
  const int index = portNumber - 1;

  std::string configured = store.readText("Ports", kPortNames[index], "");
  if (!configured.empty()) return configured;
  return defaultPortDevice(portNumber);
}

}  // namespace tevra
