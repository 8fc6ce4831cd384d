#include "app/win32/RegistrySettingsStore.h"

#include <windows.h>

#include <vector>

namespace tevra::win32 {
namespace {

constexpr const char* kPortsSection = "Ports";

// The section's key, created if missing; closed when it goes.
class SectionKey {
 public:
  SectionKey(const std::string& appKey, const std::string& section) {
    if (appKey.empty()) return;
    const std::string path = appKey + "\\" + section;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~SectionKey() {
    if (key_) RegCloseKey(key_);
  }
  SectionKey(const SectionKey&) = delete;
  SectionKey& operator=(const SectionKey&) = delete;

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

void RegistrySettingsStore::setRegistryKey(const std::string& registryKey, const std::string& appTitle) {
  appKey_ = "Software\\" + registryKey + "\\" + appTitle;
}

int RegistrySettingsStore::readInt(const std::string& section, const std::string& name,
                                   int defaultValue) {
  const SectionKey key(appKey_, section);
  if (!key.get()) return defaultValue;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value) {
    return defaultValue;
  }
  return static_cast<int>(value);
}

std::string RegistrySettingsStore::readText(const std::string& section, const std::string& name,
                                            const std::string& defaultValue) {
  // No Ports section on Windows: COMn is the device itself (the platform default).
  if (section == kPortsSection) return defaultValue;
  const SectionKey key(appKey_, section);
  if (!key.get()) return defaultValue;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return defaultValue;
  }
  // One byte more than asked for, so a value stored without its zero still ends in one.
  std::vector<char> text(size + 1, '\0');
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                       &size) != ERROR_SUCCESS) {
    return defaultValue;
  }
  return std::string(text.data());
}

void RegistrySettingsStore::writeInt(const std::string& section, const std::string& name, int value) {
  if (section == kPortsSection) return;
  const SectionKey key(appKey_, section);
  if (!key.get()) return;
  const DWORD stored = static_cast<DWORD>(value);
  RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stored),
                 sizeof stored);
}

void RegistrySettingsStore::writeText(const std::string& section, const std::string& name,
                                      const std::string& value) {
  if (section == kPortsSection) return;
  const SectionKey key(appKey_, section);
  if (!key.get()) return;
  RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

}  // namespace tevra::win32
