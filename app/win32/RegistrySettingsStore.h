#pragma once

#include <string>

#include "core/SettingsStore.h"

namespace tevra::win32 {

// The settings in the current user's registry:
// HKEY_CURRENT_USER\Software\<registry key>\<application title>\<section>,
// integers as REG_DWORD, texts as REG_SZ with their terminating zero. Reading
// and writing both create the keys; a missing value, or one that is not of its
// type, yields the default. On Windows a port name is the device itself, so the
// section "Ports" is not stored: "COMn" answers "\\.\COMn".
class RegistrySettingsStore : public SettingsStore {
 public:
  // The path below "Software", e.g. "Tevra Laboratory\Orbel Software"; until it
  // is set nothing is read or written (reads yield their defaults).
  void setRegistryKey(const std::string& registryKey, const std::string& appTitle);

  int readInt(const std::string& section, const std::string& name, int defaultValue) override;
  std::string readText(const std::string& section, const std::string& name,
                       const std::string& defaultValue) override;
  void writeInt(const std::string& section, const std::string& name, int value) override;
  void writeText(const std::string& section, const std::string& name,
                 const std::string& value) override;

 private:
  std::string appKey_;  // "Software\<registry key>\<application title>"
};

}  // namespace tevra::win32
