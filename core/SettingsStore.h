#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tevra {

// The per-user store of settings: sections of named integer and text values.
// Reads never fail: a missing or unreadable value yields the default.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual int readInt(const std::string& section, const std::string& name, int defaultValue) = 0;
  virtual std::string readText(const std::string& section, const std::string& name,
                               const std::string& defaultValue) = 0;
  virtual void writeInt(const std::string& section, const std::string& name, int value) = 0;
  virtual void writeText(const std::string& section, const std::string& name,
                         const std::string& value) = 0;
};

// A store held in memory, values kept as the text they would have in a file.
class MemorySettingsStore : public SettingsStore {
 public:
  int readInt(const std::string& section, const std::string& name, int defaultValue) override;
  std::string readText(const std::string& section, const std::string& name,
                       const std::string& defaultValue) override;
  void writeInt(const std::string& section, const std::string& name, int value) override;
  void writeText(const std::string& section, const std::string& name,
                 const std::string& value) override;

  // Every write, in order, as "Section/Name=value".
  const std::vector<std::string>& writeLog() const;

 private:
  std::map<std::pair<std::string, std::string>, std::string> values_;
  std::vector<std::string> writeLog_;
};

// `text` as a whole decimal int, blanks around it allowed; nothing when it
// is anything else (a sign other than '-', trailing characters, out of range).
// Every store reads its integers through this.
std::optional<int> parseDecimalInt(std::string_view text);

// The device path behind port number `portNumber` (1 = COM1): the store's
// `Ports` value "COMn" when present, else the platform's default device
// (defaultPortDevice in core/Platform.h).
// Empty for a port number outside 1..12.
std::string portDevicePath(SettingsStore& store, int portNumber);

}  // namespace tevra
